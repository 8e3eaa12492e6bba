// The HTTP side: one listener on Qt's event loop serving the hub (page, API,
// events, metrics) and taking writes with the token. libmicrohttpd reads
// and writes the connections, driven from the event loop by one notifier on
// its epoll descriptor, so a client costs no object of Qt's. Every answer
// is queued at once; nothing waits for a client, so a slow or stalled one
// never holds up a poll round (a stream client that stops reading is
// dropped once its backlog grows past a limit).
#pragma once

#include "server/hub.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <QSocketNotifier>
struct MHD_Connection;
struct MHD_Daemon;

namespace server {

// One request as the Server window lists it.
struct RequestNote {
    qint64 wallMillis = 0;
    QString client;   // the client's address
    QString method;
    QString target;   // path and query
    int status = 0;
};

// Parses "[ADDR:]PORT" ("8080", "0.0.0.0:8080", "[::1]:8080"). Without an
// address: 127.0.0.1. False with a reason otherwise.
bool ParseListenAddress(const QString& text, QHostAddress* address, quint16* port, QString* error);
// The same, and port 0 (any free one, which the owner then names) besides:
// "0", "127.0.0.1:0", "[::1]:0", "localhost:0".
bool ParseListenText(const std::string& text, QHostAddress* address, quint16* port, std::string* error);
// True for an address only this machine can reach.
bool IsLoopback(const QHostAddress& address);

class HttpServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxClients = 32;
    static constexpr qint64 kMaxBacklog = 256 * 1024;  // bytes a stream client may leave unread
    static constexpr int kIdleSeconds = 60;            // a connection without a request is closed after this
    static constexpr int kBeatMs = 5000;  // a stream told nothing for this long gets a comment line

    HttpServer(Hub& hub, std::string token, QObject* parent = nullptr);
    ~HttpServer() override;

    // Listens on address:port (port 0: any free one). False with a reason.
    bool start(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const { return m_port; }
    QHostAddress address() const { return m_address; }
    QString url() const;
    int clients() const { return static_cast<int>(m_clients.size()); }
    int streams() const { return static_cast<int>(m_streams.size()); }
    const std::deque<RequestNote>& lastRequests() const { return m_requests; }
    // Before start.
    void setMaxClients(int n) { m_maxClients = n; }
    // Watches libmicrohttpd's descriptors one by one rather than its epoll
    // descriptor: the only way where there is no epoll. Before start.
    void setDescriptorSets(bool on) { m_descriptorSets = on; }

signals:
    // A request was answered, or a client came or went.
    void activity();

private:
    struct Request;
    struct Stream;
    struct Pending;
    friend struct Callbacks;  // libmicrohttpd's, with the server as their closure

    void run();
    bool request(MHD_Connection* connection, Request& r, const char* data, std::size_t* size);
    void dispatch(MHD_Connection* connection, Request& r);
    void writeRequest(MHD_Connection* connection, Request& r, int kind, int address);
    // The answer queued; answer() also keeps its note.
    void queue(MHD_Connection* connection, Request& r, int status, const char* type, const std::string& body,
               bool close = false, bool allowGetOnly = false);
    void answer(MHD_Connection* connection, Request& r, int status, const char* type, const std::string& body,
                bool close = false, bool allowGetOnly = false);
    void refuse(MHD_Connection* connection);
    void resume(MHD_Connection* connection);
    void watchDescriptors();
    void stream(MHD_Connection* connection, Request& r);
    void note(RequestNote n);
    void broadcast();
    void beat();

    Hub& m_hub;
    std::string m_token;
    MHD_Daemon* m_daemon = nullptr;
    int m_listenSocket = -1;
    QSocketNotifier* m_notifier = nullptr;  // on the epoll descriptor
#ifdef __linux__
    bool m_descriptorSets = false;
#else
    bool m_descriptorSets = true;
#endif
    std::map<qintptr, std::unique_ptr<QSocketNotifier>> m_watched[2];  // read, write: without epoll
    QTimer m_timer;  // libmicrohttpd's next timeout
    QTimer m_beat;
    bool m_running = false;
    bool m_closing = false;  // the destructor runs: nothing is told any more
    QHostAddress m_address;
    quint16 m_port = 0;
    int m_maxClients = kMaxClients;
    std::set<MHD_Connection*> m_clients;  // admitted connections, streams among them
    std::set<MHD_Connection*> m_refused;  // told 503, closed at once
    std::set<Stream*> m_streams;
    std::set<std::shared_ptr<Pending>> m_pending;  // writes waiting for the owner's queue
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::deque<RequestNote> m_requests;
    int m_roundSubscription = 0;
};

} // namespace server
