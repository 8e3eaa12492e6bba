// One serial device behind a port number: a real RS-232 port, the in-process
// simulated controller, or a test fake. No Qt here, so the simulator and the
// protocol tests link without it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace io {

// Decides, from the bytes received so far, whether an answer is complete.
using AnswerComplete = std::function<bool(const std::uint8_t* bytes, int count)>;

class SerialDevice {
public:
    virtual ~SerialDevice() = default;
    // Opens the device at the baud rate, 8 data bits, no parity, 1 stop bit,
    // no handshake. Returns false when it cannot be opened.
    virtual bool open(int baudRate) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Writes count bytes. Returns the count written, or -1 when the device is lost.
    virtual int write(const std::uint8_t* data, int count) = 0;
    // Reads into buf until `max` bytes have arrived, `done` (if given) says the
    // answer is complete, or `timeout` seconds have passed. Returns the count
    // read (0..max), or -1 when the device is lost (unplugged, hung up).
    virtual int read(std::uint8_t* buf, int max, double timeout, const AnswerComplete& done) = 0;
    virtual void flushInput() = 0;
    virtual void flushOutput() = 0;
    // What the operator sees for this device, e.g. "/dev/ttyUSB0".
    virtual std::string description() const = 0;
    // Sets what is called, once and from the event loop, when the device is
    // found lost (hung up, unplugged, read errors) while none of its calls
    // runs; the device has closed itself by then, and the handler may destroy
    // it. A loss found inside read or write is their -1 instead. Devices that
    // cannot tell keep the default, which never calls.
    virtual void setLostHandler(std::function<void()> handler) {}
    // Waits in real time, at most `seconds`, until bytes can be read; false
    // at once for devices that answer on the program's own clock (the
    // simulated ones), which have nothing to wait for in real time.
    virtual bool waitReadable(double seconds) { return false; }
};

using SerialDeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

} // namespace io
