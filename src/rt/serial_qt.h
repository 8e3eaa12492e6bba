// The serial device on a real port or a pseudo-terminal, through QSerialPort.
#pragma once

#include "rt/serial_device.h"

#include <memory>
#include <string>

namespace rt {

// A device for the path ("/dev/ttyUSB0", "/dev/pts/3", "COM3"); opening it
// configures 8 data bits, no parity, 1 stop bit, no flow control.
std::unique_ptr<SerialDevice> MakeQtSerialDevice(const std::string& path);

} // namespace rt
