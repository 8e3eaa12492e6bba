#include "io/port_table.h"

#include <algorithm>
#include <cmath>

namespace io {

PortTable::~PortTable()
{
    closeAll();
}

PortTable::Port* PortTable::find(int number, int* err)
{
    const auto it = m_ports.find(number);
    if (it == m_ports.end()) {
        *err = PORT_ERR_CLOSED;
        return nullptr;
    }
    // A lost device stays in the table (so the port still counts as open and
    // is closed by its owner), but every call on it fails at once.
    if (it->second.lost) {
        *err = PORT_ERR_LOST;
        return nullptr;
    }
    return &it->second;
}

int PortTable::open(int number, std::unique_ptr<SerialDevice> device, long baudRate)
{
    if (m_ports.count(number))
        close(number);
    if (number <= 0 || baudRate <= 0 || baudRate > 4000000 || !device || !device->open(static_cast<int>(baudRate)))
        return PORT_ERR_OPEN;
    Port p;
    p.device = std::move(device);
    p.openId = ++m_opens;
    const SerialDevice* raw = p.device.get();
    p.device->setLostHandler([this, number, raw] { markLost(number, raw); });
    m_ports[number] = std::move(p);
    return 0;
}

void PortTable::markLost(int number, const SerialDevice* device)
{
    const auto it = m_ports.find(number);
    // A device of a port closed or opened again meanwhile is no news.
    if (it == m_ports.end() || it->second.device.get() != device || it->second.lost)
        return;
    it->second.lost = true;
    if (m_idleLoss)
        m_idleLoss(number);
}

bool PortTable::isLost(int number) const
{
    const auto it = m_ports.find(number);
    return it != m_ports.end() && it->second.lost;
}

int PortTable::setTimeout(int number, double seconds)
{
    int err = 0;
    Port* p = find(number, &err);
    if (!p)
        return err;
    if (!(seconds >= 0) || !std::isfinite(seconds))
        return PORT_ERR_ARGUMENT;
    p->timeout = seconds;
    return 0;
}

double PortTable::timeout(int number) const
{
    const auto it = m_ports.find(number);
    return it == m_ports.end() ? 0.0 : it->second.timeout;
}

int PortTable::discardInput(int number, double seconds)
{
    int err = 0;
    Port* p = find(number, &err);
    if (!p)
        return err;
    std::uint8_t buffer[64];
    const int n = p->device->read(buffer, static_cast<int>(sizeof buffer), std::max(0.0, seconds),
                                  [](const std::uint8_t*, int count) { return count > 0; });
    if (m_trace && n > 0)
        m_trace(number, false, buffer, n, 0);
    if (n < 0) {
        p->lost = true;
        return PORT_ERR_LOST;
    }
    return n;
}

int PortTable::flushInput(int number)
{
    int err = 0;
    Port* p = find(number, &err);
    if (!p)
        return err;
    p->device->flushInput();
    return 0;
}

int PortTable::flushOutput(int number)
{
    int err = 0;
    Port* p = find(number, &err);
    if (!p)
        return err;
    p->device->flushOutput();
    return 0;
}

int PortTable::write(int number, const std::uint8_t* bytes, int count)
{
    int err = 0;
    Port* p = find(number, &err);
    if (!p)
        return err;
    if (count <= 0)
        return 0;
    if (m_holding && m_holding())
        return PORT_ERR_ENDING;
    const int n = p->device->write(bytes, count);
    if (m_trace)
        m_trace(number, true, bytes, count, count);
    if (n < 0) {
        p->lost = true;
        return PORT_ERR_LOST;
    }
    return n;
}

int PortTable::read(int number, std::uint8_t* buffer, int count, const AnswerComplete& done)
{
    int err = 0;
    Port* p = find(number, &err);
    if (!p)
        return err;
    if (count <= 0)
        return 0;
    const int n = p->device->read(buffer, count, p->timeout, done);
    if (m_trace)
        m_trace(number, false, buffer, n < 0 ? 0 : n, count);
    if (n < 0) {
        p->lost = true;
        return PORT_ERR_LOST;
    }
    return n;
}

int PortTable::readAvailable(int number, std::uint8_t* buffer, int count)
{
    int err = 0;
    Port* p = find(number, &err);
    if (!p)
        return err;
    if (count <= 0)
        return 0;
    const int n = p->device->read(buffer, count, 0.0, {});
    if (m_trace && n > 0)
        m_trace(number, false, buffer, n, count);
    if (n < 0) {
        p->lost = true;
        return PORT_ERR_LOST;
    }
    return n;
}

void PortTable::waitReadable(double seconds)
{
    for (auto& [n, p] : m_ports)
        if (p.device && !p.lost && p.device->waitReadable(seconds))
            return;
}

int PortTable::close(int number)
{
    const auto it = m_ports.find(number);
    if (it == m_ports.end())
        return PORT_ERR_CLOSED;
    if (it->second.device)
        it->second.device->close();
    m_ports.erase(it);
    return 0;
}

void PortTable::closeAll()
{
    for (auto& [n, p] : m_ports)
        if (p.device)
            p.device->close();
    m_ports.clear();
}

bool PortTable::isOpen(int number) const
{
    return m_ports.count(number) != 0;
}

unsigned long PortTable::openId(int number) const
{
    const auto it = m_ports.find(number);
    return it == m_ports.end() ? 0 : it->second.openId;
}

} // namespace io
