#include "support/bench_support.h"

#include "app/shell.h"
#include "link/transact.h"
#include "support/tecsim_child.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

std::string BinDir()
{
    return TEC_BIN_DIR;
}

bool SimProcess::start(const std::vector<std::string>& options, std::string* error)
{
    stop();
    std::string exe = BinDir() + "/sim/tecsim";
    if (::access(exe.c_str(), X_OK) != 0)
        exe = BinDir() + "/tecsim";
    m_child = std::make_unique<testsupport::TecsimChild>(testsupport::TecsimChild::Start{exe, options, "", false, 10});
    if (m_child->device.empty()) {
        if (error)
            *error = "tecsim did not start (" + exe + "): " + m_child->firstLine;
        stop();
        return false;
    }
    m_device = m_child->device;
    return true;
}

void SimProcess::stop()
{
    m_child.reset();  // ends it
    m_device.clear();
}

SimProcess::SimProcess() = default;

SimProcess::~SimProcess()
{
    stop();
}

BenchApp::BenchApp(int port, const std::string& device, bool loadPanels) : rt(clock, op), app(rt), m_port(port)
{
    rt.ports().bindDevice(port, device);
    rt.setPanelSearchPath({TEC_UI_DIR});
    if (loadPanels) {
        shell::BindCallbacks(app);
        shell::LoadPanels(app);
    }
}

bool BenchApp::openLink(int baud)
{
    app.bus.comPort = static_cast<std::uint16_t>(m_port);
    app.controller.address = 1;
    if (rt.OpenComConfig(m_port, "", baud, 0, 8, 1, 255, 255) < 0)
        return false;
    rt.SetXMode(m_port, 0);
    rt.SetCTSMode(m_port, 0);
    rt.SetComTime(m_port, comlink::kReadTimeout);
    app.bus.portOpen = 1;
    return true;
}

double TimeIt(const std::function<void()>& fn)
{
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Report(const std::string& name, double measured, double floor, double target)
{
    const double ratio = floor > 0 ? measured / floor : 0;
    std::printf("%-44s measured %9.2f ms / floor %9.2f ms = %.3f  (target <= %.2f) %s\n", name.c_str(),
                measured * 1000.0, floor * 1000.0, ratio, target, ratio <= target ? "ok" : "OVER");
    std::fflush(stdout);
    return ratio;
}

long RssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

} // namespace bench
