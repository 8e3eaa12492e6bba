#include "server/line_owner.h"

#include "core/operations.h"
#include "io/clock.h"
#include "io/port_table.h"
#include "link/transact.h"
#include "io/serial_qt.h"
#include "server/line_writes.h"

#include "protocol/encoding.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <atomic>

namespace server {

namespace {

// A value the controller took, into the record the server shows; the
// scale follows the decimal point.
void Store(ParameterSet& p, const std::string& name, double v)
{
    struct Real {
        const char* name;
        float ParameterSet::*field;
    };
    static const Real kReals[] = {
        {"sv", &ParameterSet::setValue},       {"alarm-high", &ParameterSet::alarmHigh},
        {"alarm-low", &ParameterSet::alarmLow}, {"output", &ParameterSet::outputLevel},
        {"reg30", &ParameterSet::reg30},       {"reg31", &ParameterSet::reg31},
        {"range-low", &ParameterSet::rangeLow}, {"range-high", &ParameterSet::rangeHigh},
        {"filter", &ParameterSet::swFilter},
    };
    for (const Real& f : kReals)
        if (name == f.name) {
            p.*f.field = static_cast<float>(v);
            return;
        }
    const auto i16 = static_cast<std::int16_t>(v);
    if (name.rfind("pid", 0) == 0 && name.size() >= 6) {
        const int i = name[3] - '1';
        const std::string term = name.substr(5);
        if (i < 0 || i > 3)
            return;
        if (term == "p") p.pidP[i] = static_cast<float>(v);
        else if (term == "i") p.pidI[i] = i16;
        else if (term == "d") p.pidD[i] = i16;
        else if (term == "t4") p.pidT4[i] = static_cast<float>(v);
        else if (term == "t5") p.pidT5[i] = static_cast<float>(v);
        else if (term == "bound" && i < 3) p.pidBound[i] = static_cast<float>(v);
        return;
    }
    if (name == "decimal-point") {
        p.decimalPnt = i16;
        p.tempScale = params::TempScaleFor(p.decimalPnt);
    } else if (name == "sensor") p.sensorType = i16;
    else if (name == "direction") p.dirRev = i16;
    else if (name == "unit") p.cfUnit = i16;
    else if (name == "alarm-switch") p.alarmWatch = v != 0 ? 1 : 0;
    else if (name == "keypad") p.keypadValue = i16;
}

// What a write's document says the controller now holds ("written": {name:
// {"value": v}}, or "function": code), into its record.
void ApplyWritten(ParameterSet& p, ControllerExtra& extra, const std::string& document)
{
    const QJsonObject o =
        QJsonDocument::fromJson(QByteArray::fromStdString("{" + document + "}")).object();
    const QJsonObject written = o["written"].toObject();
    for (auto it = written.begin(); it != written.end(); ++it) {
        const double v = it.value().toObject()["value"].toDouble();
        Store(p, it.key().toStdString(), v);
        if (it.key() == "function") {
            extra.function = static_cast<int>(v);
            extra.functionKnown = true;
        }
    }
    if (o["function"].isDouble()) {
        extra.function = o["function"].toInt();
        extra.functionKnown = true;
    }
}

} // namespace

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
        m_line.link.comPort = 1;
        m_line.link.baudRate = static_cast<std::uint32_t>(m_setup.baud);
        m_line.link.portOpen = 1;
        m_scales.assign(m_setup.addresses.size(), 1.0f);
        for (core::Address a : m_setup.addresses) {
            m_line.link.ctrlID = a;
            result.identities.push_back(comlink::Identify(m_line));
        }
        return result;
    }

    // The read-all pass of one controller, its scale kept for the polls.
    void readParams(std::size_t index)
    {
        const core::Address a = m_setup.addresses[index];
        m_line.link.ctrlID = a;
        ParameterSet p;
        comlink::SequencePreamble(m_line);
        const core::ReadAllResult r = core::ReadAll(m_line, p);
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
            m_line.link.ctrlID = r.address;
            // The chart tick's order: SV, then PV.
            r.valid = core::PollSV(m_line, m_scales[i], &r.sv) && core::PollPV(m_line, m_scales[i], &r.pv);
            readings.push_back(r);
        }
        const qint64 wall = QDateTime::currentMSecsSinceEpoch();
        LineOwner* owner = m_owner;
        QMetaObject::invokeMethod(owner, [owner, readings, time, wall] { owner->feed(readings, time, wall); },
                                  Qt::QueuedConnection);
    }

    // Runs between two rounds (queued behind the round in progress). Sends
    // exactly what `tecctl set` sends, nothing more: what the controller
    // took is in the result's document, and the owner keeps it from there
    // (a read-all pass here would write the alarm-mode registers again).
    WriteResult write(const WriteRequest& request)
    {
        WriteResult result = RunWrite(m_line, request);
        for (std::size_t i = 0; i < m_setup.addresses.size(); ++i)
            if (m_setup.addresses[i] == request.address && !result.document.empty()) {
                ParameterSet p;
                p.tempScale = m_scales[i];
                ControllerExtra unused;
                ApplyWritten(p, unused, result.document);
                m_scales[i] = p.tempScale;
            }
        return result;
    }

private:
    LineOwner* m_owner;
    LineOwner::Setup m_setup;
    io::RealClock m_clock;
    io::PortTable m_ports;
    comlink::Line m_line;
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
                                self->written(request.address, result.document);
                            done(result);
                        },
                        Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
    });
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->startRounds(); }, Qt::QueuedConnection);
    return true;
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

void LineOwner::written(core::Address address, const std::string& document)
{
    for (auto& c : m_controllers)
        if (c->address == address && !document.empty())
            ApplyWritten(c->params, m_hub.extra(address), document);
}

void LineOwner::feed(const std::vector<Reading>& readings, double time, qint64 wallMillis)
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
    m_hub.roundEnded(time, wallMillis);
    emit roundFed();
}

} // namespace server
