// The owner of one serial line for a program without a window (the headless
// server, the tests, the benchmark): opens the port, identifies and reads
// every controller once, then the poller's rounds read SV and PV of each
// every interval and feed the hub; a controller that stops answering is
// asked less (suspect, then offline and only probed on a back-off) so the
// others' rounds go on. The line is driven on a thread of its own, so the
// event loop that serves HTTP never waits for an exchange; the hub and the
// controller records are touched only on the thread that made the owner.
// Writes from the hub run on the line's thread at the poller's next
// transaction boundary.
#pragma once

#include "server/hub.h"

#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <vector>

class QThread;

namespace server {

class LineWorker;

class LineOwner : public QObject {
    Q_OBJECT
public:
    struct Setup {
        std::string device;                // "/dev/ttyUSB0", "/dev/pts/3"
        long baud = 19200;
        std::vector<core::Address> addresses{1};
        std::vector<std::string> names;    // by position; empty or missing: none
        double interval = 1.0;             // seconds from one round's start to the next
    };

    LineOwner(Hub& hub, Setup setup, QObject* parent = nullptr);
    ~LineOwner() override;

    // Opens the port, identifies every controller and reads its parameters,
    // then starts the rounds. False with a reason when the port does not
    // open or no controller answers identification.
    bool start(QString* error);
    const std::vector<std::unique_ptr<core::Controller>>& controllers() const { return m_controllers; }

signals:
    // A round has been fed to the hub.
    void roundFed();

private:
    friend class LineWorker;
    struct Reading;
    void feed(const std::vector<Reading>& readings, double time, qint64 wallMillis, double seconds);
    void written(const WriteRequest& request, const WriteResult& result, qint64 wallMillis);
    void paramsRead(core::Address address, const ParameterSet& params, int function, qint64 wallMillis);
    void identified(core::Address address, const core::Identity& identity);

    Hub& m_hub;
    Setup m_setup;
    std::vector<std::unique_ptr<core::Controller>> m_controllers;
    QThread* m_thread = nullptr;
    LineWorker* m_worker = nullptr;
};

} // namespace server
