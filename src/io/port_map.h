// Port numbers and the devices behind them. Qt Core and SerialPort only.
#pragma once

#include "io/serial_device.h"

#include <map>
#include <string>
#include <vector>

namespace rt {

using io::AnswerComplete;
using io::SerialDevice;
using io::SerialDeviceFactory;

// Port numbers and the devices behind them. A number stays a number (as the
// settings file stores it); this table says which device it opens.
struct PortEntry {
    int number = 0;
    std::string label;  // shown in the port selector, e.g. "COM1  /dev/ttyS0"
    SerialDeviceFactory factory;
    std::string devicePath;  // the device behind a bindDevice binding, else ""
};

class PortMap {
public:
    // Binds a number to a device path (a real port or a pseudo-terminal).
    void bindDevice(int number, const std::string& devicePath);
    // Binds a number to any device (the simulated controller, a test fake).
    void bind(int number, const std::string& label, SerialDeviceFactory factory);
    void unbind(int number);
    // Adds the platform's serial ports by the documented numbering rule
    // (Linux: /dev/ttySk = k + 1, /dev/ttyUSBk = 101 + k, /dev/ttyACMk = 201 + k;
    // Windows: COMn = n; macOS: /dev/cu.* in name order from 1). Existing bindings win.
    void addPlatformPorts();
    const PortEntry* find(int number) const;
    std::vector<PortEntry> entries() const;  // ascending numbers

    // The number the rule gives a device path, or 0 when the path follows no rule.
    static int numberForDevice(const std::string& devicePath);
    // The device path the rule gives a number on this platform, or "".
    static std::string deviceForNumber(int number);

private:
    std::map<int, PortEntry> m_ports;
};

} // namespace rt
