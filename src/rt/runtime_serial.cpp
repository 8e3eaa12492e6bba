// The RS-232 calls of the run-time: the numbered ports live in the port table,
// devices are found through the port map.
#include "io/serial_qt.h"
#include "rt/runtime_impl.h"

#include <QTimer>

namespace rt {

int Runtime::OpenComConfig(int port, const std::string& deviceName, long baudRate, int parity, int dataBits,
                           int stopBits, int inputQueueSize, int outputQueueSize)
{
    if (m_portTable.isOpen(port))
        m_portTable.close(port);
    m_impl->openProblems.erase(port);
    if (port <= 0 || baudRate <= 0 || baudRate > 4000000)
        return RT_ERR_PORT_OPEN;
    std::unique_ptr<SerialDevice> device;
    std::string path;  // the device file, when there is one
    if (!deviceName.empty()) {
        path = deviceName;
        device = MakeQtSerialDevice(deviceName);
    } else if (const PortEntry* e = m_ports.find(port); e && e->factory) {
        path = e->devicePath;
        device = e->factory();
    } else if (path = PortMap::deviceForNumber(port); !path.empty()) {
        device = MakeQtSerialDevice(path);
    }
    const bool withoutDevice = !device;
    if (m_portTable.open(port, std::move(device), baudRate) == 0)
        return 0;
    // A device of the port map without a file (the simulator, a test
    // double) says nothing; a missing or refusing device file says why.
    if (withoutDevice || !path.empty())
        m_impl->openProblems[port] = DescribePortOpenCause(FindPortOpenCause(path), path);
    return RT_ERR_PORT_OPEN;
}

void Runtime::SetComLostHandler(std::function<void(int port)> handler)
{
    m_impl->comLost = std::move(handler);
}

void Runtime::Impl::notifyPortLost(int port)
{
    // While a callback or popup holds events back, look again a little later
    // (a timer, not a busy loop); the port answers RT_ERR_PORT_LOST meanwhile.
    QTimer::singleShot(holdingEvents() ? 50 : 0, &hub, [this, port] {
        if (holdingEvents()) {
            notifyPortLost(port);
            return;
        }
        if (!rt.portTable().isLost(port))
            return;  // released or reopened meanwhile
        if (comLost)
            comLost(port);
    });
}

std::string Runtime::ComOpenProblem(int port) const
{
    const auto it = m_impl->openProblems.find(port);
    return it == m_impl->openProblems.end() ? std::string() : it->second;
}

bool Runtime::ComAccessDenied(int port) const
{
    const PortEntry* e = m_ports.find(port);
    return PortAccessDenied(e ? e->devicePath : PortMap::deviceForNumber(port));
}

int Runtime::SetXMode(int port, int mode)
{
    if (!m_portTable.isOpen(port))
        return RT_ERR_PORT_CLOSED;
    return mode == 0 ? 0 : RT_ERR_BAD_ARGUMENT;
}

int Runtime::SetCTSMode(int port, int mode)
{
    if (!m_portTable.isOpen(port))
        return RT_ERR_PORT_CLOSED;
    return mode == 0 ? 0 : RT_ERR_BAD_ARGUMENT;
}

int Runtime::SetComTime(int port, double timeoutSeconds)
{
    return m_portTable.setTimeout(port, timeoutSeconds);
}

int Runtime::FlushInQ(int port)
{
    return m_portTable.flushInput(port);
}

int Runtime::FlushOutQ(int port)
{
    return m_portTable.flushOutput(port);
}

int Runtime::ComWrt(int port, const unsigned char* buffer, int count)
{
    return m_portTable.write(port, buffer, count);
}

int Runtime::ComRd(int port, unsigned char* buffer, int count)
{
    return ComRdAnswer(port, buffer, count, {});
}

int Runtime::ComRdAnswer(int port, unsigned char* buffer, int count, const AnswerComplete& done)
{
    return m_portTable.read(port, buffer, count, done);
}

int Runtime::CloseCom(int port)
{
    return m_portTable.close(port);
}

bool Runtime::IsComOpen(int port) const
{
    return m_portTable.isOpen(port);
}

std::string Runtime::PortLabel(int port) const
{
    const PortEntry* e = m_ports.find(port);
    return e ? e->label : std::string();
}

} // namespace rt
