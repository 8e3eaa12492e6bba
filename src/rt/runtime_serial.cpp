// The RS-232 calls of the run-time: the numbered ports live in the port table,
// devices are found through the port map.
#include "rt/runtime_impl.h"
#include "rt/serial_qt.h"

namespace rt {

int Runtime::OpenComConfig(int port, const std::string& deviceName, long baudRate, int parity, int dataBits,
                           int stopBits, int inputQueueSize, int outputQueueSize)
{
    if (m_portTable.isOpen(port))
        m_portTable.close(port);
    if (port <= 0 || baudRate <= 0 || baudRate > 4000000)
        return RT_ERR_PORT_OPEN;
    std::unique_ptr<SerialDevice> device;
    if (!deviceName.empty()) {
        device = MakeQtSerialDevice(deviceName);
    } else if (const PortEntry* e = m_ports.find(port); e && e->factory) {
        device = e->factory();
    } else if (const std::string path = PortMap::deviceForNumber(port); !path.empty()) {
        device = MakeQtSerialDevice(path);
    }
    return m_portTable.open(port, std::move(device), baudRate) < 0 ? RT_ERR_PORT_OPEN : 0;
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
