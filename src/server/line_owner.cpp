#include "server/line_owner.h"

#include "core/operations.h"
#include "core/poller.h"
#include "io/clock.h"
#include "io/port_table.h"
#include "link/transact.h"
#include "io/serial_qt.h"
#include "protocol/encoding.h"
#include "server/line_writes.h"
#include "server/render.h"
#include "tecctl/options.h"

#include <QDateTime>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace server {

struct LineOwner::Reading {
    core::Address address = 1;
    core::Sample sample;
    core::LinkState state = core::LinkState::Online;
    core::Counters counters;
};

// Lives on the line's thread: every exchange happens here. The rounds are the
// poller's, serviced from this thread's event loop; a write runs at the
// poller's next transaction boundary. The controller records here are the
// line's own: each round's outcome is handed to the owner's thread as a copy.
class LineWorker : public QObject {
public:
    LineWorker(LineOwner* owner, LineOwner::Setup setup) : m_owner(owner), m_setup(std::move(setup)), m_line(m_ports, m_clock) {}
    ~LineWorker() override
    {
        if (m_poller) {
            m_poller->finishExchange();
            m_poller.reset();
        }
        comlink::SettleLine(m_line);
        m_ports.closeAll();
    }

    struct Opened {
        QString error;
        std::vector<comlink::Identity> identities;
    };

    Opened open()
    {
        Opened result;
        auto device = rt::MakeQtSerialDevice(m_setup.device);
        if (m_ports.open(1, std::move(device), m_setup.baud) != 0) {
            std::string cause = rt::DescribePortOpenCause(rt::FindPortOpenCause(m_setup.device), m_setup.device);
            if (cause.rfind("Cause: ", 0) == 0)
                cause.erase(0, 7);
            result.error = QString::fromStdString("cannot open " + m_setup.device + (cause.empty() ? "" : ": " + cause));
            return result;
        }
        m_ports.setTimeout(1, comlink::kReadTimeout);
        m_line.comPort = 1;
        m_line.baudRate = static_cast<std::uint32_t>(m_setup.baud);
        m_line.portOpen = 1;
        m_records.assign(m_setup.addresses.size(), core::Controller{});
        m_scaleKnown.assign(m_setup.addresses.size(), false);
        for (std::size_t i = 0; i < m_setup.addresses.size(); ++i) {
            m_records[i].address = m_setup.addresses[i];
            m_records[i].params.tempScale = 1.0f;
            result.identities.push_back(comlink::Identify(m_line, m_setup.addresses[i]));
        }
        return result;
    }

    // The read-all pass of one controller; its decimal point (when that much
    // came) gives the scale the polls read at.
    void readParams(std::size_t index)
    {
        const core::Address a = m_setup.addresses[index];
        ParameterSet p;
        comlink::SequencePreamble(m_line);
        const core::ReadAllResult r = core::ReadAll(m_line, a, p);
        if (r.decimalRead) {
            m_records[index].params.tempScale = p.tempScale;
            m_scaleKnown[index] = true;
        }
        if (!r.complete())
            return;
        p.readSinceConnection = true;
        const qint64 wall = QDateTime::currentMSecsSinceEpoch();
        LineOwner* owner = m_owner;
        const int function = r.ctrlFunc;
        QMetaObject::invokeMethod(owner, [owner, a, p, function, wall] { owner->paramsRead(a, p, function, wall); },
                                  Qt::QueuedConnection);
    }

    // The controllers that identified are read whole, then the rounds begin;
    // the others start offline, probed on the poller's back-off.
    void startRounds(const std::vector<bool>& identified)
    {
        for (std::size_t i = 0; i < m_records.size(); ++i) {
            const bool known = i < identified.size() && identified[i];
            m_records[i].identity.known = known;
            m_records[i].state = known ? core::LinkState::Online : core::LinkState::Offline;
            if (known)
                readParams(i);
        }
        m_poller = std::make_unique<core::Poller>(m_line);
        std::vector<core::Controller*> list;
        for (core::Controller& c : m_records)
            list.push_back(&c);
        m_poller->setControllers(list);
        m_poller->subscribe([this](const core::Round& round) { roundEnded(round); });
        m_poller->setInterval(m_setup.interval > 0 ? m_setup.interval : 1.0);
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        m_timer->setTimerType(Qt::PreciseTimer);
        connect(m_timer, &QTimer::timeout, this, [this] { service(); });
        service();
    }

    // Runs what is due and sets the timer for when the poller next needs a call.
    void service()
    {
        if (!m_poller)
            return;
        const double at = m_poller->service();
        // Nothing due until an operation ends: looked at again soon.
        const double wait = std::isfinite(at) ? std::max(0.0, at - m_clock.now()) : 0.05;
        m_timer->start(static_cast<int>(std::ceil(wait * 1000.0)));
    }

    // Runs the write at the next transaction boundary, then `done` with its result.
    void write(const WriteRequest& request, std::function<void(const WriteResult&)> done)
    {
        auto run = [this, request, done = std::move(done)] { done(writeNow(request)); };
        if (!m_poller) {
            run();
            return;
        }
        m_poller->whenIdle(std::move(run));
        service();
    }

private:
    WriteResult writeNow(const WriteRequest& request)
    {
        WriteResult result = RunWrite(m_line, request);
        // A new decimal point changes how the polls read, also when a later
        // value of the same write was refused.
        for (std::size_t i = 0; i < m_setup.addresses.size(); ++i)
            for (const auto& [name, value] : result.taken)
                if (m_setup.addresses[i] == request.address && name == "decimal-point") {
                    m_records[i].params.tempScale = params::TempScaleFor(static_cast<int>(value));
                    m_scaleKnown[i] = true;
                }
        return result;
    }

    // A controller heard from whose decimal point is not known (it did not
    // answer at the start): identified and read between two rounds, its
    // readings held back until then. Still not known: offline again.
    void catchUp(std::size_t index)
    {
        core::Controller& c = m_records[index];
        const comlink::Identity id = comlink::Identify(m_line, c.address);
        if (id.status == comlink::IdentifyStatus::Accepted) {
            c.identity.known = true;
            c.identity.model = id.model;
            c.identity.identLo = id.identLo;
            LineOwner* owner = m_owner;
            const core::Address a = c.address;
            const core::Identity identity = c.identity;
            QMetaObject::invokeMethod(owner, [owner, a, identity] { owner->identified(a, identity); },
                                      Qt::QueuedConnection);
            readParams(index);
        }
        if (!m_scaleKnown[index])
            c.state = core::LinkState::Offline;
    }

    void roundEnded(const core::Round& round)
    {
        std::vector<LineOwner::Reading> readings;
        for (std::size_t i = 0; i < m_records.size(); ++i) {
            const core::Controller& c = m_records[i];
            LineOwner::Reading r;
            r.address = c.address;
            r.sample = c.last;
            r.state = c.state;
            r.counters = c.counters;
            if (r.sample.valid && !m_scaleKnown[i]) {
                r.sample.valid = false;  // read at a scale nobody knows
                m_poller->whenIdle([this, i] { catchUp(i); });
            }
            readings.push_back(r);
        }
        const double time = round.time;
        const qint64 wall = round.wallMillis;
        const double seconds = m_clock.now() - round.time;
        LineOwner* owner = m_owner;
        QMetaObject::invokeMethod(owner, [owner, readings, time, wall, seconds] { owner->feed(readings, time, wall, seconds); },
                                  Qt::QueuedConnection);
    }

    LineOwner* m_owner;
    LineOwner::Setup m_setup;
    io::RealClock m_clock;
    io::PortTable m_ports;
    comlink::Bus m_line;
    std::vector<core::Controller> m_records;
    std::vector<bool> m_scaleKnown;
    std::unique_ptr<core::Poller> m_poller;
    QTimer* m_timer = nullptr;
};

LineOwner::LineOwner(Hub& hub, Setup setup, QObject* parent) : QObject(parent), m_hub(hub), m_setup(std::move(setup))
{
    std::vector<const core::Controller*> list;
    for (std::size_t i = 0; i < m_setup.addresses.size(); ++i) {
        auto c = std::make_unique<core::Controller>();
        c->address = m_setup.addresses[i];
        c->port = 1;
        if (i < m_setup.names.size())
            c->name = m_setup.names[i];
        list.push_back(c.get());
        m_controllers.push_back(std::move(c));
    }
    m_hub.setControllers(list);
    m_hub.setPortName(1, m_setup.device);
}

LineOwner::~LineOwner()
{
    m_hub.setExecutor({});
    if (m_thread) {
        QMetaObject::invokeMethod(m_worker, [worker = m_worker] { delete worker; }, Qt::BlockingQueuedConnection);
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
    }
    m_hub.setControllers({});
}

bool LineOwner::start(QString* error)
{
    m_thread = new QThread;
    m_worker = new LineWorker(this, m_setup);
    m_worker->moveToThread(m_thread);
    m_thread->start();
    LineWorker::Opened opened;
    QMetaObject::invokeMethod(m_worker, [this, &opened] { opened = m_worker->open(); }, Qt::BlockingQueuedConnection);
    if (!opened.error.isEmpty()) {
        *error = opened.error;
        return false;
    }
    bool any = false;
    for (std::size_t i = 0; i < opened.identities.size(); ++i) {
        const comlink::Identity& id = opened.identities[i];
        core::Controller& c = *m_controllers[i];
        c.identity.known = id.status == comlink::IdentifyStatus::Accepted;
        c.identity.model = id.model;
        c.identity.identLo = id.identLo;
        c.state = c.identity.known ? core::LinkState::Online : core::LinkState::Offline;
        any = any || c.identity.known;
    }
    if (!any) {
        *error = QString::fromStdString("no controller on " + m_setup.device + " answered identification");
        return false;
    }
    m_hub.setExecutor([this](const WriteRequest& request, WriteDone done) {
        LineWorker* worker = m_worker;
        QPointer<LineOwner> self(this);
        QMetaObject::invokeMethod(
            worker,
            [worker, self, request, done] {
                worker->write(request, [self, request, done](const WriteResult& result) {
                    // When the line took it, on the clock its rounds read
                    // by, before any later round could read it back.
                    const qint64 at = QDateTime::currentMSecsSinceEpoch();
                    if (self)
                        QMetaObject::invokeMethod(
                            self.data(),
                            [self, request, done, result, at] {
                                if (self)
                                    self->written(request, result, at);
                                done(result);
                            },
                            Qt::QueuedConnection);
                });
            },
            Qt::QueuedConnection);
    });
    std::vector<bool> identified;
    for (const auto& c : m_controllers)
        identified.push_back(c->identity.known);
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, identified] { worker->startRounds(identified); },
                              Qt::QueuedConnection);
    return true;
}

void LineOwner::written(const WriteRequest& request, const WriteResult& result, qint64 wallMillis)
{
    const bool program =
        request.kind == WriteRequest::Kind::ProgramRun || request.kind == WriteRequest::Kind::ProgramStop;
    // A write refused part-way still changed what the values before it set.
    if (program ? result.status != WriteResult::Status::Done : result.taken.empty())
        return;
    for (auto& c : m_controllers) {
        if (c->address != request.address)
            continue;
        ControllerExtra& x = m_hub.extra(c->address);
        int function = x.functionKnown ? x.function : -1;
        if (program) {
            function = request.kind == WriteRequest::Kind::ProgramRun ? 5 : 0;
        } else {
            // What the controller took, in the order written, as sent.
            for (const auto& [name, value] : result.taken) {
                ApplyWritten(&c->params, &function, name, value);
                if (name == "sv")
                    m_hub.noteSetValue(c->address, static_cast<float>(value), wallMillis);
            }
        }
        if (function >= 0) {
            x.function = function;
            x.functionKnown = true;
        }
    }
}

void LineOwner::paramsRead(core::Address address, const ParameterSet& params, int function, qint64 wallMillis)
{
    for (auto& c : m_controllers)
        if (c->address == address) {
            c->params = params;
            ControllerExtra& x = m_hub.extra(address);
            x.function = function;
            x.functionKnown = true;
            x.paramsWallMillis = wallMillis;
        }
}

void LineOwner::identified(core::Address address, const core::Identity& identity)
{
    for (auto& c : m_controllers)
        if (c->address == address)
            c->identity = identity;
}

void LineOwner::feed(const std::vector<Reading>& readings, double time, qint64 wallMillis, double seconds)
{
    for (const Reading& r : readings)
        for (auto& c : m_controllers) {
            if (c->address != r.address)
                continue;
            c->state = r.state;
            c->counters = r.counters;
            if (r.sample.valid) {
                c->last = r.sample;
            } else {
                // A miss keeps the last reading and its time; what went wrong is said.
                c->last.time = time;
                c->last.valid = false;
                c->last.fault = r.sample.fault;
            }
        }
    m_hub.roundEnded(time, wallMillis, seconds);
    emit roundFed();
}

} // namespace server
