// The serial device on a real port or a pseudo-terminal, through QSerialPort,
// and why a port does not open.
#pragma once

#include "io/port_table.h"
#include "io/serial_device.h"

#include <memory>
#include <string>
#include <vector>

namespace rt {

// A device for the path ("/dev/ttyUSB0", "/dev/pts/3", "COM3"); opening it
// configures 8 data bits, no parity, 1 stop bit, no flow control.
std::unique_ptr<io::SerialDevice> MakeQtSerialDevice(const std::string& path);

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
    std::string holder;  // Busy: "minicom (process 4242)", or "" when not known
    std::string detail;
};

// Where lock files and process folders are looked for; tests point them at
// temporary folders.
struct PortProbePlaces {
    std::vector<std::string> lockDirs{"/run/lock", "/var/lock"};
    std::string procDir = "/proc";
};

// Looks at the device path after an open failed: whether it exists, whether
// the user may read and write it, whether a UUCP lock file ("LCK..ttyUSB0")
// of a living process or an exclusive lock holds it, and who holds it (the
// lock file's process, or a process with the device open in procDir).
// Opens the device only when nothing else tells, and closes it at once.
PortOpenCause FindPortOpenCause(const std::string& devicePath, const PortProbePlaces& places = {});
// True when the user may not read and write the device (it exists, but a
// permission check fails). Opens nothing.
bool PortAccessDenied(const std::string& devicePath);
// The cause in words for the operator, naming the device.
std::string DescribePortOpenCause(const PortOpenCause& cause, const std::string& devicePath);

} // namespace rt
