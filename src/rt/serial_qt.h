// The serial device on a real port or a pseudo-terminal, through QSerialPort.
#pragma once

#include "io/port_table.h"
#include "io/serial_device.h"

#include <memory>
#include <string>

namespace rt {

// A device for the path ("/dev/ttyUSB0", "/dev/pts/3", "COM3"); opening it
// configures 8 data bits, no parity, 1 stop bit, no flow control.
std::unique_ptr<io::SerialDevice> MakeQtSerialDevice(const std::string& path);

// Hex dumps of every frame written and read, in the logging category
// "tecontrol.wire" (off by default).
io::PortTable::Trace WireTrace();

} // namespace rt
