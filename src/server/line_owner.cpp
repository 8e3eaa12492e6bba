#include "server/line_owner.h"

#include "core/operations.h"
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

#include <atomic>
#include <cstdlib>

namespace server {

struct LineOwner::Reading {
    core::Address address = 1;
    bool valid = false;
    float sv = 0;
    float pv = 0;
};

// Lives on the line's thread: every exchange happens here.
class LineWorker : public QObject {
public:
    LineWorker(LineOwner* owner, LineOwner::Setup setup) : m_owner(owner), m_setup(std::move(setup)), m_line(m_ports, m_clock) {}
    ~LineWorker() override
    {
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
        m_scales.assign(m_setup.addresses.size(), 1.0f);
        for (core::Address a : m_setup.addresses)
            result.identities.push_back(comlink::Identify(m_line, a));
        return result;
    }

    // The read-all pass of one controller, its scale kept for the polls.
    void readParams(std::size_t index)
    {
        const core::Address a = m_setup.addresses[index];
        ParameterSet p;
        comlink::SequencePreamble(m_line);
        const core::ReadAllResult r = core::ReadAll(m_line, a, p);
        if (!r.complete())
            return;
        p.readSinceConnection = true;
        m_scales[index] = p.tempScale;
        const qint64 wall = QDateTime::currentMSecsSinceEpoch();
        LineOwner* owner = m_owner;
        const int function = r.ctrlFunc;
        QMetaObject::invokeMethod(owner, [owner, a, p, function, wall] { owner->paramsRead(a, p, function, wall); },
                                  Qt::QueuedConnection);
    }

    void startRounds()
    {
        for (std::size_t i = 0; i < m_setup.addresses.size(); ++i)
            readParams(i);
        m_timer = new QTimer(this);
        m_timer->setTimerType(Qt::PreciseTimer);
        m_timer->setInterval(static_cast<int>(m_setup.interval * 1000));
        connect(m_timer, &QTimer::timeout, this, [this] { round(); });
        m_timer->start();
        round();
    }

    void round()
    {
        std::vector<LineOwner::Reading> readings;
        const double time = m_clock.now();
        for (std::size_t i = 0; i < m_setup.addresses.size(); ++i) {
            LineOwner::Reading r;
            r.address = m_setup.addresses[i];
            // The chart tick's order: SV, then PV.
            r.valid = core::PollSV(m_line, r.address, m_scales[i], &r.sv) &&
                      core::PollPV(m_line, r.address, m_scales[i], &r.pv);
            readings.push_back(r);
        }
        const qint64 wall = QDateTime::currentMSecsSinceEpoch();
        LineOwner* owner = m_owner;
        const double seconds = m_clock.now() - time;
        QMetaObject::invokeMethod(owner, [owner, readings, time, wall, seconds] { owner->feed(readings, time, wall, seconds); },
                                  Qt::QueuedConnection);
    }

    // Runs between two rounds (queued behind the round in progress).
    WriteResult write(const WriteRequest& request)
    {
        WriteResult result = RunWrite(m_line, request);
        // A new decimal point changes how the polls read.
        if (result.status == WriteResult::Status::Done)
            for (std::size_t i = 0; i < m_setup.addresses.size(); ++i)
                for (const auto& [name, value] : request.values)
                    if (m_setup.addresses[i] == request.address && name == "decimal-point")
                        m_scales[i] = params::TempScaleFor(std::atoi(value.c_str()));
        return result;
    }

private:
    LineOwner* m_owner;
    LineOwner::Setup m_setup;
    io::RealClock m_clock;
    io::PortTable m_ports;
    comlink::Bus m_line;
    std::vector<float> m_scales;
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
                const WriteResult result = worker->write(request);
                if (self)
                    QMetaObject::invokeMethod(
                        self.data(),
                        [self, request, done, result] {
                            if (self)
                                self->written(request, result);
                            done(result);
                        },
                        Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
    });
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->startRounds(); }, Qt::QueuedConnection);
    return true;
}

void LineOwner::written(const WriteRequest& request, const WriteResult& result)
{
    if (result.status != WriteResult::Status::Done)
        return;
    for (auto& c : m_controllers) {
        if (c->address != request.address)
            continue;
        ControllerExtra& x = m_hub.extra(c->address);
        int function = x.functionKnown ? x.function : -1;
        if (request.kind == WriteRequest::Kind::ProgramRun || request.kind == WriteRequest::Kind::ProgramStop) {
            function = request.kind == WriteRequest::Kind::ProgramRun ? 5 : 0;
        } else {
            // What the controller took, as the answer names it: the values
            // with their words resolved, in the order written.
            for (const auto& [name, text] : request.values) {
                tecctl::Assignment a;
                std::string why;
                if (tecctl::ParseAssignment(name + "=" + text, &a, &why))
                    ApplyWritten(&c->params, &function, name, a.value);
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

void LineOwner::feed(const std::vector<Reading>& readings, double time, qint64 wallMillis, double seconds)
{
    for (const Reading& r : readings)
        for (auto& c : m_controllers) {
            if (c->address != r.address)
                continue;
            ++c->counters.rounds;
            c->last.time = time;
            if (r.valid) {
                c->last.wallMillis = wallMillis;
                c->last.sv = r.sv;
                c->last.pv = r.pv;
                c->last.valid = true;
                c->last.fault = {};
                ++c->counters.answered;
                if (c->state == core::LinkState::Offline)
                    ++c->counters.reconnections;
                c->counters.missedInRow = 0;
                c->state = core::LinkState::Online;
            } else {
                // The verified poll gives up after its attempts without saying
                // why each failed: counted as no answer.
                c->last.valid = false;
                c->last.fault.kind = comlink::FaultKind::Silent;
                ++c->counters.misses[0];
                ++c->counters.missedInRow;
                c->state = c->counters.missedInRow >= core::kOfflineAfterMisses ? core::LinkState::Offline
                                                                                : core::LinkState::Suspect;
            }
        }
    m_hub.roundEnded(time, wallMillis, seconds);
    emit roundFed();
}

} // namespace server
