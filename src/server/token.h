// The token a client needs for writes: made at the first start, kept in the
// user's configuration folder with mode 0600, compared in constant time.
#pragma once

#include <string>
#include <string_view>

namespace server {

// $XDG_CONFIG_HOME/tecontrol/server-token, or ~/.config/tecontrol/server-token
// when XDG_CONFIG_HOME is unset or not an absolute path. Empty when neither
// it nor HOME is known.
std::string TokenPath();

// Reads the token at path, making it (and its folder, mode 0700) when there
// is none: 32 random bytes as 64 hex digits, written to a new file of mode
// 0600. A file that others may read is made 0600 first. False with a reason
// when the file is no regular file of this user, cannot be read or made, or
// holds fewer than 16 characters.
bool LoadOrCreateToken(const std::string& path, std::string* token, std::string* error);

// The value of an "Authorization: Bearer TOKEN" header equals token. The
// time it takes depends on the lengths only, never on where they differ.
bool BearerMatches(std::string_view authorization, std::string_view token);

} // namespace server
