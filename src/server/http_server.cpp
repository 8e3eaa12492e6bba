#include "server/http_server.h"

#include "server/render.h"
#include "server/route.h"
#include "server/sockets.h"
#include "server/token.h"
#include "tecctl/json.h"

#include <QDateTime>
#include <QSocketNotifier>

#include <microhttpd.h>

#include <algorithm>
#include <cstring>

namespace server {

namespace {

constexpr std::size_t kRequestNotes = 50;
constexpr unsigned kRefusedAtOnce = 32;               // beyond the limit, told 503; beyond these, just closed
constexpr unsigned kRefusedSeconds = 5;               // a refused client that does not go is closed after this
constexpr std::size_t kConnectionMemory = 32 * 1024;  // libmicrohttpd's own bound on a request head
const char* const kJson = "application/json";
const char* const kHtml = "text/html; charset=utf-8";

qint64 NowMillis()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString ClientOf(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info && info->client_addr ? QHostAddress(info->client_addr).toString() : QString();
}

std::string Header(MHD_Connection* connection, const char* name)
{
    const char* v = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return v ? std::string(v) : std::string();
}

bool HasHeader(MHD_Connection* connection, const char* name)
{
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name) != nullptr;
}

// The request line and the headers as the client sent them, near enough.
std::size_t HeadBytes(MHD_Connection* connection, std::size_t requestLine)
{
    std::size_t n = requestLine;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            *static_cast<std::size_t*>(cls) += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
            return MHD_YES;
        },
        &n);
    return n + 2;
}

// A Content-Length of digits only, not beyond what fits.
bool ParseLength(const std::string& text, std::uint64_t* n)
{
    if (text.empty() || text.size() > 19)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    *n = v;
    return true;
}

} // namespace

// A request from its first line to its answer; libmicrohttpd holds it as
// the request's context and hands it back on every call.
struct HttpServer::Request {
    std::string target;  // path and query as the client sent them
    std::string method;
    std::string body;
    bool started = false;
    bool answered = false;
    std::shared_ptr<Pending> pending;  // a write waiting for the owner's queue
};

// A write answered later: its connection waits, suspended, until then.
struct HttpServer::Pending {
    MHD_Connection* connection = nullptr;
    bool suspended = false;
    bool done = false;
    int status = 0;
    std::string body;
};

// An event stream: what is not yet handed to libmicrohttpd, which asks for
// it when the client can take more. Waits suspended while there is nothing.
struct HttpServer::Stream {
    HttpServer* server = nullptr;
    MHD_Connection* connection = nullptr;
    std::string queue;
    std::size_t taken = 0;  // of the queue, handed on already
    bool suspended = false;
    bool end = false;      // serving stops: the stream ends
    bool stalled = false;  // its client left too much unread: dropped
    bool told = false;     // something queued since the last beat
    std::size_t backlog() const { return queue.size() - taken; }
};

struct Callbacks {
    static void* Uri(void*, const char* uri, MHD_Connection*)
    {
        auto* r = new HttpServer::Request;
        r->target = uri ? uri : "";
        return r;
    }

    static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char*, const char* data, std::size_t* size, void** context)
    {
        auto* server = static_cast<HttpServer*>(cls);
        auto* r = static_cast<HttpServer::Request*>(*context);
        if (!r) {
            r = new HttpServer::Request;
            r->target = url ? url : "";
            *context = r;
        }
        if (!r->started)
            r->method = method ? method : "";
        return server->request(connection, *r, data, size) ? MHD_YES : MHD_NO;
    }

    static void Completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode)
    {
        delete static_cast<HttpServer::Request*>(*context);
        *context = nullptr;
    }

    static void Connection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code)
    {
        auto* server = static_cast<HttpServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            if (static_cast<int>(server->m_clients.size()) >= server->m_maxClients) {
                server->refuse(connection);
                return;
            }
            server->m_clients.insert(connection);
        } else {
            server->m_refused.erase(connection);
            if (server->m_clients.erase(connection) == 0)
                return;
        }
        if (!server->m_closing)
            emit server->activity();
    }

    static ssize_t StreamRead(void* cls, std::uint64_t, char* buffer, std::size_t max)
    {
        auto* s = static_cast<HttpServer::Stream*>(cls);
        if (s->stalled)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        if (s->backlog() == 0) {
            s->queue.clear();
            s->taken = 0;
            if (s->end)
                return MHD_CONTENT_READER_END_OF_STREAM;
            MHD_suspend_connection(s->connection);
            s->suspended = true;
            return 0;
        }
        const std::size_t n = std::min(max, s->backlog());
        std::memcpy(buffer, s->queue.data() + s->taken, n);
        s->taken += n;
        return static_cast<ssize_t>(n);
    }

    static void StreamFree(void* cls)
    {
        auto* s = static_cast<HttpServer::Stream*>(cls);
        s->server->m_streams.erase(s);
        delete s;
    }
};

HttpServer::HttpServer(Hub& hub, std::string token, QObject* parent)
    : QObject(parent), m_hub(hub), m_token(std::move(token))
{
    m_roundSubscription = m_hub.subscribe([this](const RoundNote&) { broadcast(); });
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HttpServer::run);
    // A waiting stream does not see its client go: its socket is looked at
    // every few seconds, also while no round comes (the port away), and one
    // told nothing meanwhile gets a comment line.
    m_beat.setInterval(kBeatMs);
    connect(&m_beat, &QTimer::timeout, this, &HttpServer::beat);
}

HttpServer::~HttpServer()
{
    m_hub.unsubscribe(m_roundSubscription);
    m_closing = true;
    if (!m_daemon)
        return;
    const MHD_socket listener = MHD_quiesce_daemon(m_daemon);
    if (listener != MHD_INVALID_SOCKET)
        net::Close(listener);
    // Answers given just before (waiting writes told that serving stops)
    // still reach their clients; the streams end.
    for (Stream* s : m_streams) {
        s->end = true;
        if (s->suspended) {
            s->suspended = false;
            MHD_resume_connection(s->connection);
        }
    }
    for (const auto& p : m_pending) {
        if (!p->done) {
            p->done = true;
            p->status = 503;
            p->body = ErrorJson("the program stopped serving; nothing was sent");
        }
        if (p->suspended) {
            p->suspended = false;
            MHD_resume_connection(p->connection);
        }
    }
    for (int turn = 0; turn < 4; ++turn)
        MHD_run(m_daemon);
    delete m_notifier;
    m_notifier = nullptr;
    m_watched[0].clear();
    m_watched[1].clear();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}

bool HttpServer::start(const QHostAddress& address, quint16 port, QString* error)
{
    const QString where = address.toString() + ":" + QString::number(port);
    QString why;
    const net::Socket fd = net::Listen(address, port, &m_port, &why);
    if (fd == net::kNoSocket) {
        *error = "cannot listen on " + where + ": " + why;
        return false;
    }
    const bool v6 = address == QHostAddress::Any || address.protocol() == QAbstractSocket::IPv6Protocol;
    // No thread of its own: libmicrohttpd runs in this event loop, woken by
    // its epoll descriptor (or its descriptors one by one) and its timeouts.
    const unsigned flags = (m_descriptorSets ? 0u : static_cast<unsigned>(MHD_USE_EPOLL)) | MHD_ALLOW_SUSPEND_RESUME |
                           MHD_USE_TURBO | (v6 ? MHD_USE_IPv6 : 0);
    m_daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Callbacks::Access, this, MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::Uri, this, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::Completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::Connection, this, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(kIdleSeconds), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(m_maxClients) + kRefusedAtOnce, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_END);
    const MHD_DaemonInfo* info = m_daemon && !m_descriptorSets
                                     ? MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD)
                                     : nullptr;
    if (!m_daemon || (!m_descriptorSets && !info)) {
        *error = "cannot listen on " + where + ": the HTTP server did not start";
        if (m_daemon)
            MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
        net::Close(fd);
        return false;
    }
    m_address = address;
    m_beat.start();
    if (info) {
        m_notifier = new QSocketNotifier(info->epoll_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &HttpServer::run);
    }
    run();
    return true;
}

QString HttpServer::url() const
{
    QString host = m_address.toString();
    if (m_address.protocol() == QAbstractSocket::IPv6Protocol)
        host = "[" + host + "]";
    return "http://" + host + ":" + QString::number(port()) + "/";
}

void HttpServer::run()
{
    if (!m_daemon || m_running)
        return;
    m_running = true;
    MHD_run(m_daemon);
    m_running = false;
    if (m_descriptorSets)
        watchDescriptors();
    // The next timeout libmicrohttpd has (0: work is ready now). A timer
    // that comes earlier only runs it once more.
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(m_daemon, &ms) != MHD_YES) {
        m_timer.stop();
        return;
    }
    const int wait = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(ms, 3600 * 1000));
    if (!m_timer.isActive() || wait < m_timer.remainingTime())
        m_timer.start(wait);
}

void HttpServer::watchDescriptors()
{
    fd_set sets[2];
    fd_set failed;
    FD_ZERO(&sets[0]);
    FD_ZERO(&sets[1]);
    FD_ZERO(&failed);
    MHD_socket max = 0;
    if (MHD_get_fdset2(m_daemon, &sets[0], &sets[1], &failed, &max, FD_SETSIZE) != MHD_YES)
        return;
    for (int kind = 0; kind < 2; ++kind) {
        const std::set<qintptr> wanted = net::Descriptors(sets[kind], static_cast<int>(max));
        auto& watched = m_watched[kind];
        for (auto it = watched.begin(); it != watched.end();) {
            if (wanted.count(it->first)) {
                ++it;
                continue;
            }
            // It may be the one whose signal runs now: it goes later.
            it->second->setEnabled(false);
            it->second.release()->deleteLater();
            it = watched.erase(it);
        }
        for (qintptr fd : wanted) {
            if (watched.count(fd))
                continue;
            auto notifier = std::make_unique<QSocketNotifier>(
                fd, kind == 0 ? QSocketNotifier::Read : QSocketNotifier::Write);
            connect(notifier.get(), &QSocketNotifier::activated, this, &HttpServer::run);
            watched.emplace(fd, std::move(notifier));
        }
    }
}

void HttpServer::resume(MHD_Connection* connection)
{
    MHD_resume_connection(connection);
    // Its epoll descriptor does not tell of a resumed connection: the
    // server runs once more itself.
    if (!m_closing && (!m_timer.isActive() || m_timer.remainingTime() > 0))
        m_timer.start(0);
}

void HttpServer::refuse(MHD_Connection* connection)
{
    m_refused.insert(connection);
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, kRefusedSeconds);
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info)
        return;
    // Told at once, before it asks anything; libmicrohttpd then finds the
    // connection ended and closes it.
    const std::string body = ErrorJson("too many clients; try again later");
    const std::string text = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(body.size()) +
                             "\r\nRetry-After: 5\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
    net::SendAndShut(info->connect_fd, text);
}

bool HttpServer::request(MHD_Connection* connection, Request& r, const char* data, std::size_t* size)
{
    if (m_refused.count(connection))
        return false;
    if (!r.started) {
        r.started = true;
        if (HeadBytes(connection, r.method.size() + r.target.size() + 11) > kMaxHeadBytes) {
            answer(connection, r, 431, kJson, ErrorJson("the request's headers are larger than 8 KiB"), true);
            return true;
        }
        if (HasHeader(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING)) {
            answer(connection, r, 400, kJson, ErrorJson("chunked request bodies are not taken; send Content-Length"),
                   true);
            return true;
        }
        std::uint64_t length = 0;
        if (HasHeader(connection, MHD_HTTP_HEADER_CONTENT_LENGTH) &&
            !ParseLength(Header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH), &length)) {
            answer(connection, r, 400, kJson, ErrorJson("the request cannot be read"), true);
            return true;
        }
        if (length > kMaxBodyBytes) {
            answer(connection, r, 413, kJson, ErrorJson("the request's body is larger than 64 KiB"), true);
            return true;
        }
        // Answered on the call that ends the request: one answered before
        // would close the connection.
        r.body.reserve(static_cast<std::size_t>(length));
        return true;
    }
    if (*size > 0) {
        if (!r.answered)
            r.body.append(data, *size);
        *size = 0;
        return true;
    }
    if (r.pending) {  // resumed: the write was answered
        const std::shared_ptr<Pending> p = std::move(r.pending);
        m_pending.erase(p);
        queue(connection, r, p->status, kJson, p->body);
        return true;
    }
    if (!r.answered)
        dispatch(connection, r);
    return true;
}

void HttpServer::queue(MHD_Connection* connection, Request& r, int status, const char* type, const std::string& body,
                       bool close, bool allowGetOnly)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    if (status == 401)
        MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
    if (status == 405)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allowGetOnly ? "GET" : "POST");
    if (type == kHtml)
        // Nothing from anywhere else, and nothing of the page sent anywhere else.
        MHD_add_response_header(response, "Content-Security-Policy",
                                "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                                "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
                                "frame-ancestors 'none'");
    if (close)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    r.answered = true;
}

void HttpServer::answer(MHD_Connection* connection, Request& r, int status, const char* type, const std::string& body,
                        bool close, bool allowGetOnly)
{
    queue(connection, r, status, type, body, close, allowGetOnly);
    note(RequestNote{NowMillis(), ClientOf(connection), QString::fromStdString(r.method),
                     QString::fromStdString(r.target), status});
}

void HttpServer::note(RequestNote n)
{
    if (m_closing)
        return;
    m_requests.push_back(std::move(n));
    if (m_requests.size() > kRequestNotes)
        m_requests.pop_front();
    emit activity();
}

void HttpServer::dispatch(MHD_Connection* connection, Request& r)
{
    const Route route = MatchRoute(r.method, r.target);
    const qint64 now = NowMillis();
    const core::Controller* c = route.address ? m_hub.find(static_cast<core::Address>(route.address)) : nullptr;
    switch (route.kind) {
    case RouteKind::NotFound:
        answer(connection, r, 404, kJson, ErrorJson("no such path"));
        return;
    case RouteKind::MethodNotAllowed: {
        const std::string& t = r.target;
        const bool writePath = t.find("/set") != std::string::npos || t.find("/program/") != std::string::npos ||
                               t.find("/function") != std::string::npos;
        answer(connection, r, 405, kJson, ErrorJson(writePath ? "this path takes POST" : "this path takes GET"), false,
               !writePath);
        return;
    }
    case RouteKind::Page:
        answer(connection, r, 200, kHtml, PageHtml(m_hub, now));
        return;
    case RouteKind::Metrics:
        answer(connection, r, 200, "text/plain; version=0.0.4; charset=utf-8", MetricsText(m_hub, now));
        return;
    case RouteKind::Controllers:
        answer(connection, r, 200, kJson, ControllersJson(m_hub));
        return;
    case RouteKind::Events:
        stream(connection, r);
        return;
    default:
        break;
    }
    if (!c) {
        answer(connection, r, 404, kJson, ErrorJson("no controller at address " + std::to_string(route.address)));
        return;
    }
    switch (route.kind) {
    case RouteKind::Controller:
        answer(connection, r, 200, kJson, ControllerJson(m_hub, *c, now));
        return;
    case RouteKind::Parameters: {
        std::string body;
        if (!ParametersJson(m_hub, *c, &body)) {
            answer(connection, r, 503, kJson, ErrorJson("the parameters of " + c->label() + " have not been read yet"));
            return;
        }
        answer(connection, r, 200, kJson, body);
        return;
    }
    case RouteKind::History: {
        std::int64_t from = now - 3600 * 1000, to = now;
        std::string error = route.error;
        if (error.empty() && !route.from.empty() && !ParseIsoTime(route.from, &from))
            error = "from: \"" + route.from + "\" is no ISO 8601 time";
        if (error.empty() && !route.to.empty() && !ParseIsoTime(route.to, &to))
            error = "to: \"" + route.to + "\" is no ISO 8601 time";
        if (error.empty() && from > to)
            error = "from is later than to";
        if (!error.empty()) {
            answer(connection, r, 400, kJson, ErrorJson(error));
            return;
        }
        if (route.csv)
            answer(connection, r, 200, "text/csv; charset=utf-8", HistoryCsv(m_hub, *c, from, to));
        else
            answer(connection, r, 200, kJson, HistoryJson(m_hub, *c, from, to));
        return;
    }
    default:
        writeRequest(connection, r, static_cast<int>(route.kind), route.address);
        return;
    }
}

void HttpServer::stream(MHD_Connection* connection, Request& r)
{
    auto* s = new Stream;
    s->server = this;
    s->connection = connection;
    s->queue = "retry: 2000\ndata: " + LiveJson(m_hub, NowMillis()) + "\n\n";
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &Callbacks::StreamRead, s, &Callbacks::StreamFree);
    if (!response) {
        delete s;
        answer(connection, r, 503, kJson, ErrorJson("the stream cannot be started"), true);
        return;
    }
    m_streams.insert(s);
    // Neither chunked nor kept alive: the events until the connection ends.
    MHD_set_response_options(response, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    r.answered = true;
    note(RequestNote{NowMillis(), ClientOf(connection), QString::fromStdString(r.method),
                     QString::fromStdString(r.target), 200});
}

void HttpServer::writeRequest(MHD_Connection* connection, Request& r, int kind, int address)
{
    // A page of another origin may make a browser send this with the
    // operator's network position; it never gets to write, token or not.
    const std::string origin = Header(connection, "Origin");
    if (!origin.empty() && origin != "http://" + Header(connection, MHD_HTTP_HEADER_HOST)) {
        answer(connection, r, 403, kJson, ErrorJson("writes from another origin are refused"));
        return;
    }
    const bool hasAuthorization = HasHeader(connection, MHD_HTTP_HEADER_AUTHORIZATION);
    if (!BearerMatches(Header(connection, MHD_HTTP_HEADER_AUTHORIZATION), m_token)) {
        answer(connection, r, 401, kJson,
               ErrorJson(hasAuthorization ? "the token is not this server's" : "a write needs Authorization: Bearer TOKEN"));
        return;
    }
    WriteRequest w;
    w.address = static_cast<core::Address>(address);
    w.client = ClientOf(connection).toStdString();
    const auto route = static_cast<RouteKind>(kind);
    std::vector<std::pair<std::string, std::string>> members;
    std::string error;
    const bool program = route == RouteKind::ProgramRun || route == RouteKind::ProgramStop;
    if (!ParseWriteBody(r.body, program, &members, &error)) {
        answer(connection, r, 400, kJson, ErrorJson(error));
        return;
    }
    if (program && !members.empty()) {
        answer(connection, r, 400, kJson, ErrorJson("program/run and program/stop take no values"));
        return;
    }
    if (route == RouteKind::Function && (members.size() != 1 || members[0].first != "function")) {
        answer(connection, r, 400, kJson, ErrorJson("function takes one value: {\"function\": \"pid\"}"));
        return;
    }
    w.kind = route == RouteKind::Set          ? WriteRequest::Kind::Set
             : route == RouteKind::ProgramRun ? WriteRequest::Kind::ProgramRun
             : route == RouteKind::ProgramStop ? WriteRequest::Kind::ProgramStop
                                               : WriteRequest::Kind::Function;
    w.values = std::move(members);
    // The answer may come later, once the owner's queue reaches the write;
    // the connection waits suspended until then.
    auto p = std::make_shared<Pending>();
    p->connection = connection;
    r.pending = p;
    m_pending.insert(p);
    RequestNote pending{NowMillis(), QString::fromStdString(w.client), "POST", QString::fromStdString(r.target), 0};
    std::weak_ptr<bool> alive = m_alive;
    m_hub.submit(w, [this, alive, p, pending, address](const WriteResult& result) mutable {
        if (alive.expired() || p->done)
            return;
        p->status = HttpStatus(result.status);
        if (result.status == WriteResult::Status::Done)
            p->body = "{\"address\": " + std::to_string(address) +
                      (result.document.empty() ? std::string() : ", " + result.document) + "}\n";
        else  // with what the controller took before it refused or fell silent
            p->body = "{\"address\": " + std::to_string(address) + ", \"error\": " +
                      tecctl::JsonEscape(result.message) +
                      (result.document.empty() ? std::string() : ", " + result.document) + "}\n";
        p->done = true;
        pending.status = p->status;
        note(pending);
        if (p->suspended) {
            p->suspended = false;
            resume(p->connection);
        }
    });
    if (p->done) {  // answered at once
        r.pending.reset();
        m_pending.erase(p);
        queue(connection, r, p->status, kJson, p->body);
        return;
    }
    MHD_suspend_connection(connection);
    p->suspended = true;
}

void HttpServer::broadcast()
{
    if (m_streams.empty() || !m_daemon)
        return;
    const std::string event = "data: " + LiveJson(m_hub, NowMillis()) + "\n\n";
    for (Stream* s : m_streams) {
        if (s->stalled || s->end)
            continue;
        if (s->backlog() > static_cast<std::size_t>(kMaxBacklog)) {
            // Its client reads nothing: the stream ends, and the connection
            // with it once it has been still for a second.
            s->stalled = true;
            MHD_set_connection_option(s->connection, MHD_CONNECTION_OPTION_TIMEOUT, 1u);
        } else {
            s->queue += event;
            s->told = true;
        }
        if (s->suspended) {
            s->suspended = false;
            resume(s->connection);
        }
    }
}

// True when the peer of a connection waiting to write has closed it.
static bool PeerGone(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info && net::PeerClosed(info->connect_fd);
}

void HttpServer::beat()
{
    for (Stream* s : m_streams) {
        if (s->stalled || s->end)
            continue;
        if (s->suspended && PeerGone(s->connection)) {
            s->stalled = true;  // ends the stream and its connection
            s->suspended = false;
            resume(s->connection);
            continue;
        }
        if (!s->told)
            s->queue += ":\n\n";
        s->told = false;
        if (s->suspended && s->backlog() > 0) {
            s->suspended = false;
            resume(s->connection);
        }
    }
}

} // namespace server
