// The folder the program works in when it is started from the desktop's
// menu, so that its files and the file dialogs' start folder are in a folder
// of its own rather than wherever the desktop happened to start it.
#pragma once

#include <string>

namespace shell {

// The per-user data folder of the program: tecontrol in $XDG_DATA_HOME
// (~/.local/share/tecontrol when that is not set).
std::string UserDataFolder();

// Makes `folder` (with its parents) and makes it the working directory.
// Returns "" on success, else the reason it could not; the working directory
// is then unchanged.
std::string EnterFolder(const std::string& folder);

} // namespace shell
