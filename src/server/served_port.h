// The note a serving process leaves while it holds a port: which device,
// where its server answers, its pid. Another tecctl that finds the port held
// reads it to go through that server instead of giving up.
//
// $XDG_RUNTIME_DIR/tecontrol/serve-<port>.json (else /tmp/tecontrol-<uid>/),
// <port> the device's path under /dev with '/' as '_' ("ttyUSB0", "pts_3"),
// after its symbolic links are resolved, as the lock files name it.
// Because a note sends a token to the URL it names, only a note the user
// owns, in a folder only the user may write, is ever believed.
#pragma once

#include <string>

namespace server {

struct ServedPort {
    std::string device;  // the resolved device path
    std::string url;     // "http://127.0.0.1:8080"
    long pid = 0;
};

// The folder for the notes; made (mode 0700) when `make`. Empty with a
// reason when it cannot be used: not ours, open to others, or not a folder.
std::string ServedPortFolder(bool make, std::string* error = nullptr);
// The device path with its links resolved ("/dev/serial/by-id/x" ->
// "/dev/ttyUSB0"); the path itself when it cannot be resolved.
std::string ResolvedDevice(const std::string& device);
// The note's path for a device (resolved first); empty when no folder.
std::string ServedPortPath(const std::string& device, bool make = false);

// Writes the note for this process (pid from getpid()), whole or not at
// all (a temporary file renamed), mode 0600. Returns the note's path, or ""
// with error set.
std::string WriteServedPort(const std::string& device, const std::string& url, std::string* error);
// Removes the note at path when it is this process's own.
void RemoveServedPort(const std::string& path);

// The note of a living process serving this device. False when there is
// none, when it is not the user's, malformed, of a process that has ended
// (a stale note, removed when possible), or for another device.
bool FindServedPort(const std::string& device, ServedPort* out);

// Parses a note's text; false when any field is missing or of another kind.
bool ParseServedPort(const std::string& text, ServedPort* out);

} // namespace server
