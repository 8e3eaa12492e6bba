#include "server/http_server.h"

#include "server/render.h"
#include "server/route.h"
#include "server/token.h"
#include "tecctl/json.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QTcpSocket>
#include <QUrl>

#include <cerrno>
#include <memory>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#endif

namespace server {

namespace {

constexpr std::size_t kRequestNotes = 50;

const char* Reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    }
    return "Internal Server Error";
}

const QByteArray kJson = "application/json";

// Hands the bytes to the kernel now when nothing waits before them. The
// socket's own write only buffers them and switches its write notifier on
// and off again, which costs the event loop a turn and three system calls
// for every answer. What the kernel does not take at once, and every error,
// goes the socket's own way.
void WriteNow(QTcpSocket* socket, const QByteArray& data)
{
#ifndef Q_OS_WIN
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0 && socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
#ifdef MSG_NOSIGNAL
        const int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
        const int flags = MSG_DONTWAIT;
#endif
        ssize_t n = 0;
        do
            n = ::send(static_cast<int>(fd), data.constData(), static_cast<std::size_t>(data.size()), flags);
        while (n < 0 && errno == EINTR);
        if (n == data.size())
            return;
        if (n > 0) {
            socket->write(data.constData() + n, data.size() - n);
            return;
        }
    }
#endif
    socket->write(data);
}

// The whole answer in one write to the socket's buffer: never a wait.
void Send(QTcpSocket* socket, int status, const QByteArray& type, const QByteArray& body, const QByteArray& extra = {},
          bool close = false)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + Reason(status) + "\r\n";
    head += "Content-Type: " + type + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    head += extra;
    if (close)
        head += "Connection: close\r\n";
    head += "\r\n";
    WriteNow(socket, head + body);
    if (close)
        socket->disconnectFromHost();
}

QByteArray MethodName(QHttpServerRequest::Method m)
{
    switch (m) {
    case QHttpServerRequest::Method::Get: return "GET";
    case QHttpServerRequest::Method::Put: return "PUT";
    case QHttpServerRequest::Method::Delete: return "DELETE";
    case QHttpServerRequest::Method::Post: return "POST";
    case QHttpServerRequest::Method::Head: return "HEAD";
    case QHttpServerRequest::Method::Options: return "OPTIONS";
    case QHttpServerRequest::Method::Patch: return "PATCH";
    case QHttpServerRequest::Method::Connect: return "CONNECT";
    case QHttpServerRequest::Method::Trace: return "TRACE";
    default: return "OTHER";
    }
}

QByteArray Target(const QHttpServerRequest& request)
{
    QByteArray t = request.url().path(QUrl::FullyEncoded).toUtf8();
    if (request.url().hasQuery())
        t += '?' + request.url().query(QUrl::FullyEncoded).toUtf8();
    return t;
}

qint64 NowMillis()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

bool ParseListenText(const std::string& text, QHostAddress* address, quint16* port, std::string* error)
{
    const QString t = QString::fromStdString(text).trimmed();
    if (t == "0" || t.endsWith(":0")) {
        QString host = t == "0" ? QString("127.0.0.1") : t.left(t.size() - 2);
        if (host.startsWith('[') && host.endsWith(']'))
            host = host.mid(1, host.size() - 2);
        QHostAddress a;
        if (host == "localhost")
            a = QHostAddress::LocalHost;
        else if (!a.setAddress(host)) {
            *error = "\"" + text + "\": \"" + host.toStdString() + "\" is not an IP address";
            return false;
        }
        *address = a;
        *port = 0;
        return true;
    }
    QString why;
    if (!ParseListenAddress(t, address, port, &why)) {
        *error = why.toStdString();
        return false;
    }
    return true;
}

bool IsLoopback(const QHostAddress& address)
{
    return address.isLoopback();
}

bool ParseListenAddress(const QString& text, QHostAddress* address, quint16* port, QString* error)
{
    QString host = "127.0.0.1";
    QString number = text;
    const int colon = text.lastIndexOf(':');
    if (colon >= 0) {
        host = text.left(colon);
        number = text.mid(colon + 1);
        if (host.startsWith('[') && host.endsWith(']'))
            host = host.mid(1, host.size() - 2);
    }
    bool ok = false;
    const uint p = number.toUInt(&ok);
    if (!ok || p == 0 || p > 65535) {
        *error = "\"" + text + "\": the port is a number from 1 to 65535";
        return false;
    }
    QHostAddress a;
    if (host == "localhost")
        a = QHostAddress::LocalHost;
    else if (!a.setAddress(host)) {
        *error = "\"" + text + "\": \"" + host + "\" is not an IP address";
        return false;
    }
    *address = a;
    *port = static_cast<quint16>(p);
    return true;
}

class HttpServer::Listener : public QTcpServer {
public:
    explicit Listener(HttpServer* owner) : m_owner(owner) {}
    void take(QTcpSocket* socket) { addPendingConnection(socket); }

protected:
    void incomingConnection(qintptr descriptor) override { m_owner->accept(descriptor); }

private:
    HttpServer* m_owner;
};

HttpServer::HttpServer(Hub& hub, std::string token, QObject* parent)
    : QAbstractHttpServer(parent), m_hub(hub), m_token(std::move(token))
{
    m_roundSubscription = m_hub.subscribe([this](const RoundNote&) { broadcast(); });
    m_sweep.setInterval(5000);
    connect(&m_sweep, &QTimer::timeout, this, &HttpServer::sweep);
}

HttpServer::~HttpServer()
{
    m_hub.unsubscribe(m_roundSubscription);
    // The clients' own handlers (made on the sockets, see accept) tell
    // nothing more; Qt's, which free each client's request, still run.
    m_closing = true;
    // The sockets are the listener's children: they go with it here, while
    // the records they would tell of their end are still whole, and unnoticed.
    if (m_listener) {
        for (QObject* child : m_listener->children()) {
            child->disconnect(this);
            // An answer given just before (a waiting write told that serving
            // stopped) still reaches its client.
            if (auto* socket = qobject_cast<QTcpSocket*>(child))
                socket->flush();
        }
        m_listener->close();
        m_listener.reset();
    }
}

bool HttpServer::start(const QHostAddress& address, quint16 port, QString* error)
{
    m_listener = std::make_unique<Listener>(this);
    if (!m_listener->listen(address, port)) {
        *error = "cannot listen on " + address.toString() + ":" + QString::number(port) + ": " +
                 m_listener->errorString();
        m_listener.reset();
        return false;
    }
    m_address = address;
    bind(m_listener.get());
    m_sweep.start();
    return true;
}

quint16 HttpServer::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

QString HttpServer::url() const
{
    QString host = m_address.toString();
    if (m_address.protocol() == QAbstractSocket::IPv6Protocol)
        host = "[" + host + "]";
    return "http://" + host + ":" + QString::number(port()) + "/";
}

void HttpServer::accept(qintptr descriptor)
{
    auto* socket = new QTcpSocket(m_listener.get());
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (static_cast<int>(m_clients.size()) >= m_maxClients) {
        // Told at once and closed; a client that never reads goes after a while.
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(5000, socket, [socket] { socket->abort(); socket->deleteLater(); });
        Send(socket, 503, kJson, QByteArray::fromStdString(ErrorJson("too many clients; try again later")),
             "Retry-After: 5\r\n", true);
        return;
    }
    m_clients[socket] = Client{NowMillis(), false};
    auto sizes = std::make_shared<SizeGuard>();
    // Connected before Qt's own reader, so each chunk is counted before it is parsed.
    // The socket (or the listener) is the context of these, not this
    // server: Qt's HTTP server looks through every connection made to it
    // for each new client, so that each one kept there costs every client.
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, sizes] {
        if (m_closing)
            return;
        const auto it = m_clients.find(socket);
        if (it == m_clients.end())
            return;
        it->second.lastActivity = NowMillis();
        const QByteArray chunk = socket->peek(socket->bytesAvailable());
        const SizeGuard::Verdict v = sizes->feed(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())));
        if (v == SizeGuard::Verdict::Ok)
            return;
        socket->readAll();  // Qt's reader gets nothing of it
        int status = 400;
        std::string why = "the request cannot be read";
        if (v == SizeGuard::Verdict::HeadTooLarge)
            status = 431, why = "the request's headers are larger than 8 KiB";
        else if (v == SizeGuard::Verdict::BodyTooLarge)
            status = 413, why = "the request's body is larger than 64 KiB";
        else if (v == SizeGuard::Verdict::Chunked)
            why = "chunked request bodies are not taken; send Content-Length";
        RequestNote n{NowMillis(), socket->peerAddress().toString(), "?", "?", status};
        m_requests.push_back(n);
        if (m_requests.size() > kRequestNotes)
            m_requests.pop_front();
        Send(socket, status, kJson, QByteArray::fromStdString(ErrorJson(why)), {}, true);
        forget(socket);
        QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
    });
    connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
        if (!m_closing)
            forget(socket);
    });
    connect(socket, &QObject::destroyed, m_listener.get(), [this, socket] {
        if (m_closing)
            return;
        m_clients.erase(socket);
        m_streams.erase(socket);
    });
    m_listener->take(socket);
    emit activity();
}

void HttpServer::forget(QTcpSocket* socket)
{
    const bool known = m_clients.erase(socket) > 0;
    m_streams.erase(socket);
    if (known)
        emit activity();
}

void HttpServer::note(const QHttpServerRequest& request, int status)
{
    m_requests.push_back(RequestNote{NowMillis(), request.remoteAddress().toString(),
                                     QString::fromLatin1(MethodName(request.method())),
                                     QString::fromUtf8(Target(request)), status});
    if (m_requests.size() > kRequestNotes)
        m_requests.pop_front();
    emit activity();
}

void HttpServer::respond(const QHttpServerRequest& request, QTcpSocket* socket, int status, const QByteArray& type,
                         const std::string& body, bool allowGetOnly)
{
    QByteArray extra;
    if (status == 401)
        extra = "WWW-Authenticate: Bearer\r\n";
    if (status == 405)
        extra = allowGetOnly ? "Allow: GET\r\n" : "Allow: POST\r\n";
    if (type == "text/html; charset=utf-8")
        // Nothing from anywhere else, and nothing of the page sent anywhere else.
        extra += "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src "
                 "'unsafe-inline'; connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
                 "frame-ancestors 'none'\r\n";
    Send(socket, status, type, QByteArray::fromStdString(body), extra);
    note(request, status);
}

bool HttpServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    if (auto it = m_clients.find(socket); it != m_clients.end())
        it->second.lastActivity = NowMillis();
    const QByteArray method = MethodName(request.method());
    const QByteArray target = Target(request);
    const Route r = MatchRoute(std::string_view(method.constData(), static_cast<std::size_t>(method.size())),
                               std::string_view(target.constData(), static_cast<std::size_t>(target.size())));
    const qint64 now = NowMillis();
    const core::Controller* c = r.address ? m_hub.find(static_cast<core::Address>(r.address)) : nullptr;
    switch (r.kind) {
    case RouteKind::NotFound:
        respond(request, socket, 404, kJson, ErrorJson("no such path"));
        return true;
    case RouteKind::MethodNotAllowed: {
        const bool writePath = target.contains("/set") || target.contains("/program/") || target.contains("/function");
        respond(request, socket, 405, kJson, ErrorJson(writePath ? "this path takes POST" : "this path takes GET"),
                !writePath);
        return true;
    }
    case RouteKind::Page:
        respond(request, socket, 200, "text/html; charset=utf-8", PageHtml(m_hub, now));
        return true;
    case RouteKind::Metrics:
        respond(request, socket, 200, "text/plain; version=0.0.4; charset=utf-8", MetricsText(m_hub, now));
        return true;
    case RouteKind::Controllers:
        respond(request, socket, 200, kJson, ControllersJson(m_hub));
        return true;
    case RouteKind::Events: {
        WriteNow(socket, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                         "X-Content-Type-Options: nosniff\r\nConnection: keep-alive\r\n\r\nretry: 2000\n" +
                             QByteArray::fromStdString("data: " + LiveJson(m_hub, now) + "\n\n"));
        m_streams[socket] = socket;
        if (auto it = m_clients.find(socket); it != m_clients.end())
            it->second.stream = true;
        note(request, 200);
        return true;
    }
    default:
        break;
    }
    if (!c) {
        respond(request, socket, 404, kJson, ErrorJson("no controller at address " + std::to_string(r.address)));
        return true;
    }
    switch (r.kind) {
    case RouteKind::Controller:
        respond(request, socket, 200, kJson, ControllerJson(m_hub, *c, now));
        return true;
    case RouteKind::Parameters: {
        std::string body;
        if (!ParametersJson(m_hub, *c, &body)) {
            respond(request, socket, 503, kJson, ErrorJson("the parameters of " + c->label() + " have not been read yet"));
            return true;
        }
        respond(request, socket, 200, kJson, body);
        return true;
    }
    case RouteKind::History: {
        std::int64_t from = now - 3600 * 1000, to = now;
        std::string error = r.error;
        if (error.empty() && !r.from.empty() && !ParseIsoTime(r.from, &from))
            error = "from: \"" + r.from + "\" is no ISO 8601 time";
        if (error.empty() && !r.to.empty() && !ParseIsoTime(r.to, &to))
            error = "to: \"" + r.to + "\" is no ISO 8601 time";
        if (error.empty() && from > to)
            error = "from is later than to";
        if (!error.empty()) {
            respond(request, socket, 400, kJson, ErrorJson(error));
            return true;
        }
        if (r.csv)
            respond(request, socket, 200, "text/csv; charset=utf-8", HistoryCsv(m_hub, *c, from, to));
        else
            respond(request, socket, 200, kJson, HistoryJson(m_hub, *c, from, to));
        return true;
    }
    default:
        writeRequest(request, socket, static_cast<int>(r.kind), r.address);
        return true;
    }
}

void HttpServer::writeRequest(const QHttpServerRequest& request, QTcpSocket* socket, int kind, int address)
{
    // A page of another origin may make a browser send this with the
    // operator's network position; it never gets to write, token or not.
    const QByteArray origin = request.value("Origin");
    if (!origin.isEmpty() && origin != "http://" + request.value("Host")) {
        respond(request, socket, 403, kJson, ErrorJson("writes from another origin are refused"));
        return;
    }
    const QByteArray authorization = request.value("Authorization");
    if (!BearerMatches(std::string_view(authorization.constData(), static_cast<std::size_t>(authorization.size())),
                       m_token)) {
        respond(request, socket, 401, kJson,
                ErrorJson(authorization.isEmpty() ? "a write needs Authorization: Bearer TOKEN"
                                                  : "the token is not this server's"));
        return;
    }
    const QByteArray body = request.body();
    WriteRequest w;
    w.address = static_cast<core::Address>(address);
    w.client = request.remoteAddress().toString().toStdString();
    const auto route = static_cast<RouteKind>(kind);
    std::vector<std::pair<std::string, std::string>> members;
    std::string error;
    const bool program = route == RouteKind::ProgramRun || route == RouteKind::ProgramStop;
    if (!ParseWriteBody(std::string_view(body.constData(), static_cast<std::size_t>(body.size())), program, &members,
                        &error)) {
        respond(request, socket, 400, kJson, ErrorJson(error));
        return;
    }
    if (program && !members.empty()) {
        respond(request, socket, 400, kJson, ErrorJson("program/run and program/stop take no values"));
        return;
    }
    if (route == RouteKind::Function && (members.size() != 1 || members[0].first != "function")) {
        respond(request, socket, 400, kJson, ErrorJson("function takes one value: {\"function\": \"pid\"}"));
        return;
    }
    w.kind = route == RouteKind::Set          ? WriteRequest::Kind::Set
             : route == RouteKind::ProgramRun ? WriteRequest::Kind::ProgramRun
             : route == RouteKind::ProgramStop ? WriteRequest::Kind::ProgramStop
                                               : WriteRequest::Kind::Function;
    w.values = std::move(members);
    // The answer may come later, once the owner's queue reaches the write;
    // the client may be gone by then.
    QPointer<QTcpSocket> alive(socket);
    RequestNote pending{NowMillis(), request.remoteAddress().toString(), "POST",
                        QString::fromUtf8(Target(request)), 0};
    m_hub.submit(w, [this, alive, pending, address](const WriteResult& result) mutable {
        const int status = HttpStatus(result.status);
        pending.status = status;
        m_requests.push_back(pending);
        if (m_requests.size() > kRequestNotes)
            m_requests.pop_front();
        emit activity();
        if (!alive)
            return;
        std::string body;
        if (result.status == WriteResult::Status::Done)
            body = "{\"address\": " + std::to_string(address) +
                   (result.document.empty() ? std::string() : ", " + result.document) + "}\n";
        else  // with what the controller took before it refused or fell silent
            body = "{\"address\": " + std::to_string(address) + ", \"error\": " + tecctl::JsonEscape(result.message) +
                   (result.document.empty() ? std::string() : ", " + result.document) + "}\n";
        Send(alive, status, kJson, QByteArray::fromStdString(body));
    });
}

void HttpServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    respond(request, socket, 404, kJson, ErrorJson("no such path"));
}

void HttpServer::broadcast()
{
    if (m_streams.empty())
        return;
    const QByteArray event = QByteArray::fromStdString("data: " + LiveJson(m_hub, NowMillis()) + "\n\n");
    std::vector<QTcpSocket*> stalled;
    for (auto& [key, socket] : m_streams) {
        if (!socket)
            continue;
        if (socket->bytesToWrite() > kMaxBacklog) {
            stalled.push_back(socket);
            continue;
        }
        WriteNow(socket, event);
    }
    for (QTcpSocket* socket : stalled) {
        forget(socket);
        socket->abort();
    }
}

void HttpServer::sweep()
{
    const qint64 now = NowMillis();
    std::vector<QTcpSocket*> idle;
    for (auto& [socket, client] : m_clients)
        if (!client.stream && now - client.lastActivity > kIdleSeconds * 1000)
            idle.push_back(socket);
    for (QTcpSocket* socket : idle) {
        forget(socket);
        socket->abort();
    }
}

} // namespace server
