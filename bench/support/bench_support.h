// Shared benchmark helpers: tecsim on a pseudo-terminal, an App on the real
// clock bound to it, timing, and "measured / floor" lines.
#pragma once

#include "app/app.h"
#include "io/clock.h"
#include "rt/runtime.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {
class TecsimChild;
}

namespace bench {

// tecsim running in the background (the tests' tecsim child, without a
// traffic log). Ends it (SIGTERM, then SIGKILL) when destroyed.
class SimProcess {
public:
    SimProcess();
    // Starts build/tecsim with the options; false (with a reason) when it does not come up.
    bool start(const std::vector<std::string>& options, std::string* error = nullptr);
    void stop();
    ~SimProcess();
    // The pseudo-terminal tecsim serves on, e.g. "/dev/pts/4".
    const std::string& device() const { return m_device; }

private:
    std::unique_ptr<testsupport::TecsimChild> m_child;
    std::string m_device;
};

// A program context on the real clock with the desktop operator replaced by
// a silent scripted one; port `port` is bound to `device`. Panels are loaded
// from the source tree (offscreen) when loadPanels is set.
struct BenchApp {
    BenchApp(int port, const std::string& device, bool loadPanels = true);
    // Opens the port at the baud rate as a connection does (no handshake,
    // 1.0 s time-out) and marks the link open for address 1. False when the
    // port cannot be opened.
    bool openLink(int baud);
    io::RealClock clock;
    rt::ScriptedOperator op;
    rt::Runtime rt;
    App app;
    int m_port;
};

// Seconds the function takes on the real clock.
double TimeIt(const std::function<void()>& fn);

// Wire time of `bytes` bytes at `baud` with 10 bits per byte.
inline double WireTime(int bytes, int baud) { return bytes * 10.0 / baud; }
// Floor of one transaction: the longer of its post-write delay and the wire
// time of request and answer.
inline double TransactionFloor(double postDelay, int answerBytes, int baud)
{
    const double wire = WireTime(8 + answerBytes, baud);
    return postDelay > wire ? postDelay : wire;
}

// Prints "name: measured X ms / floor Y ms = R (target T)" and returns R.
double Report(const std::string& name, double measured, double floor, double target = 1.03);

// The tecontrol and tecsim executables of this build.
std::string BinDir();

// Resident memory of this process in KiB (Linux), or -1 when unknown.
long RssKiB();

} // namespace bench
