// The serial device on a real port or a pseudo-terminal, through QSerialPort,
// and why a port does not open.
#pragma once

#include "io/port_table.h"
#include "io/serial_device.h"

#include <memory>
#include <string>
#include <vector>

namespace rt {


// Hex dumps of every frame written and read, in the logging category
// "tecontrol.wire" (off by default).
io::PortTable::Trace WireTrace();

// Why a device cannot be opened, as far as the system can tell.
struct PortOpenCause {
    enum Kind {
        Unknown,           // nothing found (or the platform cannot tell)
        NotPresent,        // no such device, or no hardware behind it
        PermissionDenied,  // the user may not open it; `group` owns it
        Busy,              // held by another program; `holder` names it when known
        NotSerial,         // it opens, but it is not a serial port
        Other,             // another failure; `detail` says which
    };
    Kind kind = Unknown;
    std::string group;   // PermissionDenied: the group that owns the device
    std::string holder;  // Busy: "minicom (pid 4242)", or "" when not known
    std::string detail;
};

// Where lock files and process folders are looked for; tests point them at
// temporary folders.
struct PortProbePlaces {
    std::vector<std::string> lockDirs{"/run/lock", "/var/lock"};
    std::string procDir = "/proc";
};

// A device for the path ("/dev/ttyUSB0", "/dev/pts/3", "COM3"); opening it
// configures 8 data bits, no parity, 1 stop bit, no flow control.
//
// One program per port: the path's symbolic links are resolved first (a
// /dev/serial/by-id/... name and the device's own name are one port), a
// UUCP lock file ("LCK..ttyUSB0", "LCK..pts_3": the pid as ten ASCII digits
// and a newline) of a living other process refuses the open before anything
// is touched, and an open device is held in the kernel's exclusive mode,
// with an exclusive flock on its descriptor (which alone keeps two of our
// programs apart where no lock folder is writable) and the lock file made
// exclusively in the first writable lock folder. Lock files of processes
// that are gone are removed. Closing removes the lock file made.
std::unique_ptr<io::SerialDevice> MakeQtSerialDevice(const std::string& path, const PortProbePlaces& places = {});

// Looks at the device path after an open failed: whether it exists, whether
// the user may read and write it, whether a UUCP lock file ("LCK..ttyUSB0")
// of a living process or an exclusive lock holds it, and who holds it (the
// lock file's process, or a process with the device open in procDir).
// Symbolic links are resolved first, as opening does.
// Opens the device only when nothing else tells, and closes it at once.
PortOpenCause FindPortOpenCause(const std::string& devicePath, const PortProbePlaces& places = {});
// True when the user may not read and write the device (it exists, but a
// permission check fails). Opens nothing.
bool PortAccessDenied(const std::string& devicePath);
// The cause in words for the operator, naming the device.
std::string DescribePortOpenCause(const PortOpenCause& cause, const std::string& devicePath);

} // namespace rt
