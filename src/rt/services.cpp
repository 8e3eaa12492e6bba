// Services: step-by-step work called from the event loop at the times it
// asks for (see Runtime::AddService).
#include "rt/runtime_impl.h"

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace rt {

namespace {
// How soon a service held back by a callback or the tick gate looks again.
constexpr int kHeldRetryMs = 10;
// On a simulated clock, the most real time given to a real device between
// two calls of a service.
constexpr double kRealWaitLimit = 0.05;
} // namespace

struct Runtime::Impl::ServiceRec {
    int id = 0;
    std::function<double()> fn;
    std::unique_ptr<QTimer> timer;
    bool running = false;
};

int Runtime::AddService(std::function<double()> service)
{
    auto rec = std::make_shared<Impl::ServiceRec>();
    rec->id = m_impl->nextService++;
    rec->fn = std::move(service);
    rec->timer = std::make_unique<QTimer>();
    rec->timer->setSingleShot(true);
    rec->timer->setTimerType(Qt::PreciseTimer);
    Impl* impl = m_impl.get();
    std::weak_ptr<Impl::ServiceRec> weak = rec;
    QObject::connect(rec->timer.get(), &QTimer::timeout, [impl, weak] {
        if (const auto s = weak.lock())
            impl->runService(s);
    });
    m_impl->services[rec->id] = rec;
    return rec->id;
}

void Runtime::RemoveService(int id)
{
    const auto it = m_impl->services.find(id);
    if (it == m_impl->services.end())
        return;
    it->second->timer->stop();
    it->second->fn = nullptr;
    m_impl->services.erase(it);
}

void Runtime::WakeService(int id)
{
    const auto it = m_impl->services.find(id);
    if (it == m_impl->services.end())
        return;
    const std::shared_ptr<Impl::ServiceRec> s = it->second;
    if (!m_clock.simulated()) {
        s->timer->start(0);
        return;
    }
    // Nothing falls due by itself on this clock: run it to its end here,
    // waiting on the clock as the event loop would have.
    if (s->running || !s->fn)
        return;
    s->running = true;
    for (;;) {
        const double next = s->fn();
        if (!std::isfinite(next) || !s->fn)
            break;
        // A real device behind a port still needs real time to answer.
        m_portTable.waitReadable(std::min(next - m_clock.now(), kRealWaitLimit));
        m_clock.sleepUntil(next);
    }
    s->running = false;
}

void Runtime::Impl::runService(const std::shared_ptr<ServiceRec>& s)
{
    if (s->running || !s->fn)
        return;
    if (!ticksMayRun()) {
        s->timer->start(kHeldRetryMs);
        return;
    }
    s->running = true;
    ++callbackDepth;
    const double next = s->fn();
    --callbackDepth;
    s->running = false;
    afterHold();
    if (s->fn)
        scheduleService(s, next);
}

void Runtime::Impl::scheduleService(const std::shared_ptr<ServiceRec>& s, double at)
{
    if (!std::isfinite(at)) {
        s->timer->stop();
        return;
    }
    const double ms = std::ceil((at - rt.clock().now()) * 1000.0);
    s->timer->start(static_cast<int>(std::clamp(ms, 0.0, 3600000.0)));
}

} // namespace rt
