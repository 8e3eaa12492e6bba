// The HTTP side: one listener on Qt's event loop serving the hub (page, API,
// events, metrics) and taking writes with the token. Every answer is written
// to the socket's buffer at once; nothing waits for a client, so a slow or
// stalled one never holds up a poll round (a stream client that stops
// reading is dropped once its backlog grows past a limit).
#pragma once

#include "server/hub.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <string>

class QTcpSocket;

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

class HttpServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    static constexpr int kMaxClients = 32;
    static constexpr qint64 kMaxBacklog = 256 * 1024;  // bytes a stream client may leave unread
    static constexpr int kIdleSeconds = 60;            // a connection without a request is closed after this

    HttpServer(Hub& hub, std::string token, QObject* parent = nullptr);
    ~HttpServer() override;

    // Listens on address:port (port 0: any free one). False with a reason.
    bool start(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;
    QHostAddress address() const { return m_address; }
    QString url() const;
    int clients() const { return static_cast<int>(m_clients.size()); }
    int streams() const { return static_cast<int>(m_streams.size()); }
    const std::deque<RequestNote>& lastRequests() const { return m_requests; }
    void setMaxClients(int n) { m_maxClients = n; }

signals:
    // A request was answered, or a client came or went.
    void activity();

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    class Listener;
    struct Client {
        qint64 lastActivity = 0;
        bool stream = false;
    };
    void accept(qintptr descriptor);
    void guard(QTcpSocket* socket);
    void forget(QTcpSocket* socket);
    void respond(const QHttpServerRequest& request, QTcpSocket* socket, int status, const QByteArray& type,
                 const std::string& body, bool allowGetOnly = false);
    void note(const QHttpServerRequest& request, int status);
    void writeRequest(const QHttpServerRequest& request, QTcpSocket* socket, int kind, int address);
    void broadcast();
    void sweep();

    Hub& m_hub;
    std::string m_token;
    std::unique_ptr<Listener> m_listener;
    QHostAddress m_address;
    int m_maxClients = kMaxClients;
    bool m_closing = false;  // the destructor runs: the clients' handlers do nothing
    std::map<QTcpSocket*, Client> m_clients;
    std::map<QTcpSocket*, QPointer<QTcpSocket>> m_streams;
    std::deque<RequestNote> m_requests;
    int m_roundSubscription = 0;
    QTimer m_sweep;
};

} // namespace server
