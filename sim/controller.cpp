#include "sim/controller.h"

#include "protocol/modbus.h"
#include "sim/process.h"
#include "sim/register_file.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

enum : int { EXC_FUNCTION = 0x01, EXC_ADDRESS = 0x02, EXC_VALUE = 0x03 };
constexpr int MAX_READ = 125;

void AppendCrc(std::vector<std::uint8_t>& bytes)
{
    const comlink::Crc crc = comlink::CalcCRC16(bytes.data(), static_cast<int>(bytes.size()));
    bytes.push_back(crc.lo);
    bytes.push_back(crc.hi);
}

// The 5-byte form alone is a fault too: it changes how the controller's own
// refusals (a set value out of range, an unknown register) are framed.
bool FaultsSet(const Faults& f)
{
    return f.silent || f.badCrc || f.shortBy > 0 || f.standardReadAnswer || f.extraDelay > 0 || f.exceptionCode != 0
           || f.fiveByteException || f.answerAddress != 0;
}

} // namespace

struct Controller::Impl {
    Impl(io::Clock& c, const Config& cfg)
        : clock(c), config(cfg), regs(cfg.modelCode, cfg.identLow), process(regs, config), lastClock(c.now())
    {
    }

    io::Clock& clock;
    Config config;
    RegisterFile regs;
    Process process;
    Faults faults;
    double lastClock;
    double pending = 0;  // plant time not yet stepped
    std::vector<std::vector<std::uint8_t>> requests;

    std::vector<std::uint8_t> exception(std::uint8_t address, std::uint8_t function, int code, bool fiveByte) const
    {
        std::vector<std::uint8_t> a{address, static_cast<std::uint8_t>(function | 0x80), static_cast<std::uint8_t>(code)};
        if (!fiveByte)
            a.insert(a.end(), {0, 0, 0});
        AppendCrc(a);
        return a;
    }

    void write(std::uint16_t address, std::uint16_t value)
    {
        const std::uint16_t old = regs.get(address);
        regs.set(address, value);
        process.onWrite(address, old);
        process.refreshLive();
    }

    // The answer to a request addressed to this controller, before faults.
    std::vector<std::uint8_t> answer(const std::uint8_t* rq, bool fiveByteException)
    {
        const std::uint8_t address = rq[0];
        const std::uint8_t function = rq[1];
        const std::uint16_t first = static_cast<std::uint16_t>(rq[2] << 8 | rq[3]);
        const std::uint16_t word = static_cast<std::uint16_t>(rq[4] << 8 | rq[5]);
        if (function == comlink::FN_READ) {
            if (word < 1 || word > MAX_READ)
                return exception(address, function, EXC_VALUE, fiveByteException);
            if (!RegisterFile::InMap(first, word))
                return exception(address, function, EXC_ADDRESS, fiveByteException);
            // The dialect puts two bytes between the function code and the data.
            std::vector<std::uint8_t> a{address, function, 0x00, static_cast<std::uint8_t>(2 * word)};
            for (int k = 0; k < word; ++k) {
                const std::uint16_t v = regs.get(static_cast<std::uint16_t>(first + k));
                a.push_back(static_cast<std::uint8_t>(v >> 8));
                a.push_back(static_cast<std::uint8_t>(v & 0xFF));
            }
            AppendCrc(a);
            return a;
        }
        if (function == comlink::FN_WRITE) {
            if (!RegisterFile::Writable(first))
                return exception(address, function, EXC_ADDRESS, fiveByteException);
            if (first == reg::SV) {
                const auto v = static_cast<std::int16_t>(word);
                if (v < regs.signedAt(reg::RANGE_LOW) || v > regs.signedAt(reg::RANGE_HIGH))
                    return exception(address, function, EXC_VALUE, fiveByteException);
            }
            write(first, word);
            return std::vector<std::uint8_t>(rq, rq + 8);
        }
        return exception(address, function, EXC_FUNCTION, fiveByteException);
    }

    // Re-frames a dialect read answer as standard Modbus: address, function,
    // byte count, data, CRC.
    static std::vector<std::uint8_t> standardRead(const std::vector<std::uint8_t>& a)
    {
        std::vector<std::uint8_t> s{a[0], a[1], a[3]};
        s.insert(s.end(), a.begin() + 4, a.end() - 2);
        AppendCrc(s);
        return s;
    }
};

Controller::Controller(io::Clock& clock, const Config& config) : m_impl(std::make_unique<Impl>(clock, config)) {}

Controller::~Controller() = default;

void Controller::advanceTo(double t)
{
    Impl& d = *m_impl;
    if (t <= d.lastClock)
        return;
    d.pending += (t - d.lastClock) * d.config.speed;
    d.lastClock = t;
    const double step = PlantConstants::STEP;
    const double eps = 1e-9;
    while (d.pending + eps >= step) {
        d.process.step();
        d.pending -= step;
    }
    d.process.refreshLive();
}

std::vector<std::uint8_t> Controller::handleRequest(const std::uint8_t* request, int count, double* readyAt)
{
    Impl& d = *m_impl;
    const double now = d.clock.now();
    advanceTo(now);
    if (readyAt)
        *readyAt = now;
    if (count <= 0 || request == nullptr)
        return {};
    const std::size_t limit = d.config.requestRecordLimit;
    if (limit > 0) {
        if (d.requests.size() >= limit)
            d.requests.erase(d.requests.begin(), d.requests.begin() + static_cast<std::ptrdiff_t>(limit / 2 + 1));
        d.requests.emplace_back(request, request + count);
    }
    if (count != 8)
        return {};
    const comlink::Crc crc = comlink::CalcCRC16(request, 6);
    if (request[6] != crc.lo || request[7] != crc.hi)
        return {};
    const std::uint8_t address = request[0];
    if (address == 0) {
        // Broadcast: writes are applied, nothing is answered.
        if (request[1] == comlink::FN_WRITE)
            d.answer(request, false);
        return {};
    }
    if (address != d.config.address)
        return {};

    Faults f = d.faults;
    const bool faulted = d.faults.remaining != 0 && FaultsSet(d.faults);
    if (faulted && d.faults.remaining > 0 && --d.faults.remaining == 0)
        d.faults = Faults{};
    if (!faulted)
        f = Faults{};

    if (f.silent)
        return {};
    std::vector<std::uint8_t> a = f.exceptionCode != 0 ? d.exception(address, request[1], f.exceptionCode, f.fiveByteException)
                                                       : d.answer(request, f.fiveByteException);
    if (f.standardReadAnswer && a.size() >= 6 && a[1] == comlink::FN_READ && request[1] == comlink::FN_READ)
        a = Impl::standardRead(a);
    if (f.answerAddress != 0 && a.size() > 2) {
        // Another controller's address on an otherwise intact answer.
        a[0] = static_cast<std::uint8_t>(f.answerAddress);
        a.resize(a.size() - 2);
        AppendCrc(a);
    }
    if (f.badCrc && !a.empty())
        a.back() ^= 0xFF;
    if (f.shortBy > 0)
        a.resize(a.size() > static_cast<std::size_t>(f.shortBy) ? a.size() - f.shortBy : 0);

    double ready = now + std::max(0.0, f.extraDelay);
    if (d.config.emulateWireTime && d.config.baudRate > 0)
        ready += (8.0 + static_cast<double>(a.size())) * 10.0 / d.config.baudRate;
    if (readyAt)
        *readyAt = ready;
    return a;
}

std::uint16_t Controller::reg(std::uint16_t address) const
{
    return m_impl->regs.get(address);
}

void Controller::setReg(std::uint16_t address, std::uint16_t value)
{
    Impl& d = *m_impl;
    if (address == reg::PV) {
        d.process.forceTemperature(static_cast<std::int16_t>(value));
        d.process.refreshLive();
        return;
    }
    d.write(address, value);
}

Faults& Controller::faults()
{
    return m_impl->faults;
}

const Config& Controller::config() const
{
    return m_impl->config;
}

double Controller::processValue() const
{
    return m_impl->process.processValue();
}

const std::vector<std::vector<std::uint8_t>>& Controller::requests() const
{
    return m_impl->requests;
}

void Controller::clearRequests()
{
    m_impl->requests.clear();
}

double Controller::output() const
{
    return m_impl->process.output();
}

double Controller::plantTime() const
{
    return m_impl->process.time();
}

std::vector<std::shared_ptr<Controller>> MakeControllers(io::Clock& clock, const std::vector<std::uint8_t>& addresses,
                                                         const Config& base)
{
    std::vector<std::shared_ptr<Controller>> controllers;
    Config config = base;
    for (const std::uint8_t address : addresses) {
        config.address = address;
        controllers.push_back(std::make_shared<Controller>(clock, config));
        ++config.seed;
    }
    return controllers;
}

} // namespace sim
