#include "server/hub.h"

#include <algorithm>
#include <set>

namespace server {

void Hub::setControllers(std::vector<const core::Controller*> controllers)
{
    // Clients name a controller by its address, and its history, its set
    // value and its writes are kept by address: of controllers at the same
    // address on several ports only the first is served, so that nothing of
    // one is ever taken for the other's.
    m_controllers.clear();
    m_unserved.clear();
    std::set<core::Address> served;
    for (const core::Controller* c : controllers) {
        if (served.insert(c->address).second)
            m_controllers.push_back(c);
        else
            m_unserved.push_back(c);
    }
}

const core::Controller* Hub::find(core::Address address) const
{
    for (const core::Controller* c : m_controllers)
        if (c->address == address)
            return c;
    return nullptr;
}

void Hub::setPortName(int port, std::string name)
{
    m_portNames[port] = std::move(name);
}

std::string Hub::portName(int port) const
{
    const auto it = m_portNames.find(port);
    if (it != m_portNames.end() && !it->second.empty())
        return it->second;
    return std::to_string(port);
}

const ControllerExtra* Hub::findExtra(core::Address address) const
{
    const auto it = m_extra.find(address);
    return it == m_extra.end() ? nullptr : &it->second;
}

void Hub::noteSetValue(core::Address address, float sv, std::int64_t wallMillis)
{
    ControllerExtra& x = m_extra[address];
    if (wallMillis < x.svWallMillis)
        return;
    x.sv = sv;
    x.svWallMillis = wallMillis;
}

bool Hub::setValue(const core::Controller& c, float* sv, std::int64_t* wallMillis) const
{
    const ControllerExtra* x = findExtra(c.address);
    const bool sampled = c.last.haveSv && c.last.wallMillis > 0;
    // The round's SV against the one noted by when each was true: one
    // written after the round read its SV (before its PV) is the newer. The
    // same value noted since (the owner showing the round's reading) is
    // still the one the round read, when it read it.
    if (sampled && (!x || core::SvReadMillis(c.last) >= x->svWallMillis || c.last.sv == x->sv)) {
        *sv = c.last.sv;
        *wallMillis = c.last.wallMillis;
        return true;
    }
    if (!x || x->svWallMillis <= 0)
        return false;
    *sv = x->sv;
    *wallMillis = x->svWallMillis;
    return true;
}

void Hub::roundEnded(double time, std::int64_t wallMillis, double seconds)
{
    m_lastRound = RoundNote{++m_rounds, time, wallMillis, seconds};
    for (const core::Controller* c : m_controllers) {
        // The SV a round read outlives the next rounds of PV alone and misses.
        // Noted at the time it was read: a value written since stays.
        if (c->last.haveSv && c->last.wallMillis > 0)
            noteSetValue(c->address, c->last.sv, core::SvReadMillis(c->last));
        HistoryPoint p;
        p.wallMillis = wallMillis;
        p.valid = c->last.valid;
        p.svRead = c->last.haveSv;
        if (p.valid) {
            p.sv = p.svRead ? c->last.sv : 0;
            p.pv = c->last.pv;
        }
        std::deque<HistoryPoint>& points = m_history[c->address];
        // A clock set back would leave points out of order: the query needs
        // them sorted, so the ones now in the future go.
        while (!points.empty() && points.back().wallMillis > wallMillis)
            points.pop_back();
        points.push_back(p);
        while (!points.empty() && points.front().wallMillis < wallMillis - m_historySpanMillis)
            points.pop_front();
    }
    // A subscriber may unsubscribe (itself or another) while being called.
    const auto subscribers = m_roundSubscribers;
    for (const auto& [id, callback] : subscribers)
        if (m_roundSubscribers.count(id))
            callback(m_lastRound);
}

std::vector<HistoryPoint> Hub::history(core::Address address, std::int64_t fromMillis, std::int64_t toMillis) const
{
    std::vector<HistoryPoint> out;
    const auto it = m_history.find(address);
    if (it == m_history.end() || fromMillis > toMillis)
        return out;
    const auto& points = it->second;
    auto first = std::lower_bound(points.begin(), points.end(), fromMillis,
                                  [](const HistoryPoint& p, std::int64_t t) { return p.wallMillis < t; });
    for (auto p = first; p != points.end() && p->wallMillis <= toMillis; ++p)
        out.push_back(*p);
    return out;
}

int Hub::subscribe(std::function<void(const RoundNote&)> callback)
{
    const int id = m_nextId++;
    m_roundSubscribers[id] = std::move(callback);
    return id;
}

void Hub::unsubscribe(int id)
{
    m_roundSubscribers.erase(id);
}

int Hub::subscribeWrites(std::function<void(const WriteRequest&, const WriteResult&)> callback)
{
    const int id = m_nextId++;
    m_writeSubscribers[id] = std::move(callback);
    return id;
}

void Hub::unsubscribeWrites(int id)
{
    m_writeSubscribers.erase(id);
}

bool TakeRoundOption(WriteRequest* request, std::string* error)
{
    if (request->kind != WriteRequest::Kind::Set)
        return true;
    auto& values = request->values;
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (it->first != kRoundMember)
            continue;
        if (it->second != "1" && it->second != "0") {
            *error = std::string("\"") + kRoundMember + "\" takes true or false";
            return false;
        }
        request->round = request->round || it->second == "1";
        values.erase(it);
        return true;
    }
    return true;
}

void Hub::submit(const WriteRequest& asked, WriteDone done)
{
    WriteResult result;
    const core::Controller* c = find(asked.address);
    if (!c) {
        result.status = WriteResult::Status::NotFound;
        result.message = "no controller at address " + std::to_string(asked.address);
        done(result);
        return;
    }
    WriteRequest request = asked;
    if (!TakeRoundOption(&request, &result.message)) {
        result.status = WriteResult::Status::BadInput;
        done(result);
        return;
    }
    if (c->state == core::LinkState::Offline) {
        result.status = WriteResult::Status::Offline;
        const std::string why = m_offlineWhy ? m_offlineWhy(*c) : std::string();
        result.message = c->label() + " is offline" + (why.empty() ? "" : " (" + why + ")") + "; nothing was sent";
        done(result);
        return;
    }
    if (!m_executor) {
        result.status = WriteResult::Status::Unavailable;
        result.message = "this program takes no writes";
        done(result);
        return;
    }
    m_executor(request, [this, request, done = std::move(done)](const WriteResult& r) {
        const auto subscribers = m_writeSubscribers;
        for (const auto& [id, callback] : subscribers)
            if (m_writeSubscribers.count(id))
                callback(request, r);
        done(r);
    });
}

int HttpStatus(WriteResult::Status status)
{
    switch (status) {
    case WriteResult::Status::Done: return 200;
    case WriteResult::Status::BadInput: return 400;
    case WriteResult::Status::NotFound: return 404;
    case WriteResult::Status::Offline: return 409;
    case WriteResult::Status::Refused:
    case WriteResult::Status::NoAnswer: return 502;
    case WriteResult::Status::Unavailable: return 503;
    }
    return 500;
}

} // namespace server
