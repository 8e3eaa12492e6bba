#include "tecctl/remote.h"

#include "io/file_io.h"
#include "link/transact.h"
#include "io/text_escape.h"
#include "formats/log_format.h"
#include "protocol/encoding.h"
#include "server/hub.h"
#include "server/token.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace tecctl {

namespace {

constexpr int kRequestTimeoutMs = 10000;
// The token is one line of printable text; a file much larger is not one.
constexpr std::size_t kTokenLimit = 4096;

struct Reply {
    bool reached = false;   // an HTTP answer came
    int status = 0;
    QJsonValue body;        // the JSON answer (null when none)
    std::string error;      // the server's "error", or why nothing came
};

class Client {
public:
    Client(Session& s, const server::ServedPort& held, int address)
        : m_s(s), m_held(held), m_base(QString::fromStdString(held.url)), m_address(address)
    {
        // The server is on this machine (its note is in the user's runtime
        // folder): never through a proxy the environment names.
        m_nam.setProxy(QNetworkProxy::NoProxy);
        while (m_base.endsWith('/'))
            m_base.chop(1);
    }

    Reply get(const QString& path) { return request("GET", path, QByteArray(), false); }
    Reply post(const QString& path, const QJsonObject& body)
    {
        return request("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact), true);
    }
    // A body already made (its members in the order they are to be written).
    Reply post(const QString& path, const QByteArray& body) { return request("POST", path, body, true); }
    QString controller(const QString& tail = {}) const
    {
        return "/api/v1/controllers/" + QString::number(m_address) + tail;
    }
    const server::ServedPort& held() const { return m_held; }
    int address() const { return m_address; }

private:
    Reply request(const char* method, const QString& path, const QByteArray& body, bool write)
    {
        Reply out;
        QNetworkRequest req(QUrl(m_base + path));
        req.setRawHeader("Accept", "application/json");
        // The token goes to this server only, never where a redirect points.
        req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        req.setTransferTimeout(kRequestTimeoutMs);
        if (write) {
            req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
            const std::string token = readToken();
            if (!token.empty())
                req.setRawHeader("Authorization", QByteArray("Bearer ") + QByteArray::fromStdString(token));
        }
        QNetworkReply* reply = write ? m_nam.post(req, body) : m_nam.get(req);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        // A signal ends the wait (the request is dropped).
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
            if (m_s.interrupted && *m_s.interrupted)
                reply->abort();
        });
        watch.start(50);
        if (!reply->isFinished())
            loop.exec();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        out.reached = status.isValid();
        out.status = status.toInt();
        const QByteArray data = reply->readAll();
        QJsonParseError e;
        const QJsonDocument doc = QJsonDocument::fromJson(data, &e);
        if (e.error == QJsonParseError::NoError)
            out.body = doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array());
        if (out.body.isObject() && out.body.toObject()["error"].isString())
            out.error = out.body.toObject()["error"].toString().toStdString();
        else if (!out.reached)
            out.error = reply->errorString().toStdString();
        else if (out.status != 200)
            out.error = "HTTP " + std::to_string(out.status);
        reply->deleteLater();
        return out;
    }

    std::string readToken()
    {
        if (m_tokenRead)
            return m_token;
        m_tokenRead = true;
        const std::string path = ServerTokenPath();
        std::string text, why;
        if (path.empty() || !io::ReadRegularFile(path, kTokenLimit, &text, &why))
            return {};
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
            text.pop_back();
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
            text.erase(0, 1);
        for (unsigned char c : text)
            if (c < 0x21 || c > 0x7e)
                return {};
        m_token = text;
        return m_token;
    }

    Session& m_s;
    server::ServedPort m_held;
    QString m_base;
    int m_address;
    QNetworkAccessManager m_nam;
    bool m_tokenRead = false;
    std::string m_token;
};

// The number in a served value: a number, a {"value": number} object, or
// a word of a coded parameter.
bool NumberOf(const std::string& name, const QJsonValue& v, double* out)
{
    const QJsonValue inner = v.isObject() ? v.toObject()["value"] : v;
    if (inner.isDouble()) {
        *out = inner.toDouble();
        return true;
    }
    if (inner.isString()) {
        for (int code = 0; code < 16; ++code) {
            const char* word = WordForCode(name, code);
            if (word && QString::fromUtf8(word).compare(inner.toString(), Qt::CaseInsensitive) == 0) {
                *out = code;
                return true;
            }
        }
    }
    return false;
}

// What an unsuccessful answer means for the exit status and the message.
int Failed(Session& s, const Client& c, const Reply& r, const std::string& doing)
{
    const std::string where = "the server at " + c.held().url;
    if (!r.reached) {
        s.error = where + " (pid " + std::to_string(c.held().pid) + ", which holds the port) did not answer: " + r.error;
        return EXIT_PORT;
    }
    switch (r.status) {
    case 400:
        s.error = r.error;
        return EXIT_USAGE;
    case 401:
    case 403:
        s.error = where + " refused to " + doing + ": " + r.error + " (the token is read from " + ServerTokenPath() + ")";
        return EXIT_PORT;
    case 404:
        s.error = where + " serves no controller at address " + std::to_string(c.address());
        return EXIT_SILENT;
    case 409:
        s.error = r.error;
        return EXIT_SILENT;
    case 502: {
        const bool refused = r.body.isObject() && r.body.toObject()["kind"].toString() == "refused";
        s.error = r.error;
        return refused || r.error.find("refused") != std::string::npos ? EXIT_REFUSED : EXIT_SILENT;
    }
    default:
        s.error = where + " could not " + doing + ": " + r.error;
        return EXIT_PORT;
    }
}

// The served controller's last sample: "sample" (or the object itself)
// with sv and pv. False when it holds none.
bool SampleOf(const QJsonObject& controller, double* sv, double* pv, double* time)
{
    QJsonObject sample = controller;
    for (const char* key : {"sample", "last"})
        if (controller[key].isObject())
            sample = controller[key].toObject();
    if (sample["valid"].isBool() && !sample["valid"].toBool())
        return false;
    *time = sample["time"].toDouble(0);
    return NumberOf("sv", sample["sv"], sv) && NumberOf("pv", sample["pv"], pv);
}

struct Served {
    QJsonObject params;
    float tempScale = 10.0f;
    int cfUnit = 0;
};

void TakeParameters(const Reply& r, Served* out)
{
    const QJsonObject o = r.body.toObject();
    out->params = o["parameters"].isObject() ? o["parameters"].toObject() : o;
    double dp = 0, unit = 0;
    if (NumberOf("decimal-point", out->params["decimal-point"], &dp))
        out->tempScale = params::TempScaleFor(static_cast<int>(dp));
    if (NumberOf("unit", out->params["unit"], &unit))
        out->cfUnit = static_cast<int>(unit);
}

int ReadParameters(Session& s, Client& c, Served* out)
{
    const Reply r = c.get(c.controller("/parameters"));
    if (r.status != 200)
        return Failed(s, c, r, "give the parameters");
    TakeParameters(r, out);
    return EXIT_OK;
}

std::string TemperatureUnit(int cfUnit)
{
    return cfUnit == 1 ? "\u00B0F" : "\u00B0C";
}

std::string UnitOf(const tecreg::NamedParameter& p, int cfUnit)
{
    return std::string(p.unit) == "temperature" ? TemperatureUnit(cfUnit) : std::string(p.unit);
}

void EmitServed(Session& s, const tecreg::NamedParameter& p, double v, const Served& served)
{
    EmitValue(s, p, v, ValueDecimals(p.cls, served.tempScale), UnitOf(p, served.cfUnit),
              WordForCode(p.name, static_cast<int>(v)));
}

int ProcessValue(Session& s, Client& c, const Served& served, bool show, double* pvOut = nullptr)
{
    const Reply r = c.get(c.controller());
    if (r.status != 200)
        return Failed(s, c, r, "give the process value");
    const QJsonObject o = r.body.toObject();
    if (o["state"].toString() == "offline") {
        s.error = "controller " + std::to_string(c.address()) + " is offline (its server holds no fresh reading)";
        return EXIT_SILENT;
    }
    double sv = 0, pv = 0, time = 0;
    if (!SampleOf(o, &sv, &pv, &time)) {
        s.error = "the server holds no reading of controller " + std::to_string(c.address()) + " yet";
        return EXIT_SILENT;
    }
    if (pvOut)
        *pvOut = pv;
    if (show) {
        const int decimals = ValueDecimals(tecreg::EncClass::T, served.tempScale);
        s.json.beginObject("pv");
        s.json.number("value", pv, decimals);
        s.json.string("unit", TemperatureUnit(served.cfUnit));
        s.json.endObject();
        char line[160];
        char value[64];
        std::snprintf(value, sizeof value, "%.*f", decimals, pv);
        std::snprintf(line, sizeof line, "%-14s %10s %s (process value)\n", kProcessValueName, value,
                      TemperatureUnit(served.cfUnit).c_str());
        s.text += line;
    }
    return EXIT_OK;
}

int Read(Session& s, Client& c, const std::vector<std::string>& names)
{
    Served served;
    if (const int st = ReadParameters(s, c, &served); st != EXIT_OK)
        return st;
    const bool all = names.empty();
    bool pv = all;
    for (const std::string& n : names)
        pv = pv || n == kProcessValueName;
    if (pv)
        if (const int st = ProcessValue(s, c, served, true); st != EXIT_OK)
            return st;
    if (all) {
        double dp = 0;
        NumberOf("decimal-point", served.params["decimal-point"], &dp);
        s.json.integer("decimalPoint", static_cast<long>(dp));
        s.json.number("tempScale", served.tempScale, 1);
    }
    s.json.beginObject("parameters");
    for (const tecreg::NamedParameter& p : tecreg::NamedParameters()) {
        if (!all && std::find(names.begin(), names.end(), p.name) == names.end())
            continue;
        double v = 0;
        if (!NumberOf(p.name, served.params[QString::fromStdString(p.name)], &v)) {
            if (all)
                continue;
            s.json.endObject();
            s.error = "the server holds no value of " + p.name;
            return EXIT_SILENT;
        }
        EmitServed(s, p, v, served);
    }
    s.json.endObject();
    return EXIT_OK;
}

// The values the controller now holds, as the write's answer lists them
// ("written": {name: {"value": ...}}), at the scale and unit it was served.
void EmitWritten(Session& s, const QJsonValue& answer, const Served& served)
{
    const QJsonObject written = answer.toObject()["written"].toObject();
    s.json.beginObject("written");
    for (const tecreg::NamedParameter& p : tecreg::NamedParameters()) {
        const QJsonValue v = written[QString::fromStdString(p.name)];
        double value = 0;
        if (!v.isUndefined() && NumberOf(p.name, v, &value)) {
            const QString unit = v.toObject()["unit"].toString();
            EmitValue(s, p, value, ValueDecimals(p.cls, served.tempScale),
                      unit.isEmpty() ? UnitOf(p, served.cfUnit) : unit.toStdString(),
                      WordForCode(p.name, static_cast<int>(value)));
        }
    }
    s.json.endObject();
}

// A JSON object whose members keep the order they were set in (a
// QJsonObject sorts them): the server writes the values in the order the
// command named them, as tecctl does directly, so that a decimal point
// named after a temperature comes after it on the wire. A name set again
// takes the new value in its first place.
class OrderedBody {
public:
    void set(const QString& name, const QJsonValue& value)
    {
        for (auto& m : m_members)
            if (m.first == name) {
                m.second = value;
                return;
            }
        m_members.emplace_back(name, value);
    }
    QByteArray text() const
    {
        QByteArray out = "{";
        for (const auto& [name, value] : m_members) {
            QJsonObject one;
            one[name] = value;
            const QByteArray member = QJsonDocument(one).toJson(QJsonDocument::Compact);
            if (out.size() > 1)
                out += ',';
            out += member.mid(1, member.size() - 2);
        }
        return out + "}";
    }

private:
    std::vector<std::pair<QString, QJsonValue>> m_members;
};

int Set(Session& s, Client& c, const std::vector<std::string>& assignments)
{
    // Checked here first, as directly: a bad one sends no request. The
    // scale is the one the server last read. A controller whose parameters
    // the server has not read (one beside the window's own) is checked by
    // the server alone, as tecctl checks it on the port, before it sends.
    Served served;
    const Reply known = c.get(c.controller("/parameters"));
    const bool scaleKnown = known.status == 200;
    if (!scaleKnown && known.status != 503)
        return Failed(s, c, known, "give the parameters");
    if (scaleKnown)
        TakeParameters(known, &served);
    OrderedBody body;
    float scale = served.tempScale;
    for (const std::string& text : assignments) {
        Assignment a;
        if (!ParseAssignment(text, &a, &s.error))
            return EXIT_USAGE;
        const bool temperature = a.param->cls == tecreg::EncClass::T;
        double sent = a.value;
        if (scaleKnown && !CheckResolution(a, temperature ? scale : 1.0f, s.o.round, &sent, &s.error))
            return EXIT_USAGE;
        if (a.param->reg == tecreg::kDecimalPnt)
            scale = params::TempScaleFor(static_cast<int>(sent));
        const std::string value = text.substr(text.find('=') + 1);
        if (WordForCode(a.param->name, static_cast<int>(sent)) && !value.empty() &&
            !std::isdigit(static_cast<unsigned char>(value[0])))
            body.set(QString::fromStdString(a.param->name), QString::fromStdString(value));
        else
            body.set(QString::fromStdString(a.param->name), sent);
    }
    // A value the server checks alone (it knows the scale, this side does
    // not) is rounded there as here.
    if (s.o.round)
        body.set(QString::fromUtf8(server::kRoundMember), true);
    const Reply r = c.post(c.controller("/set"), body.text());
    if (r.status != 200) {
        // Refused part-way: what the controller took is told, as directly.
        if (r.status == 502 && r.body.toObject()["written"].isObject())
            EmitWritten(s, r.body, served);
        return Failed(s, c, r, "write");
    }
    EmitWritten(s, r.body, served);
    return EXIT_OK;
}

int Watch(Session& s, Client& c)
{
    Served served;
    if (const int st = ReadParameters(s, c, &served); st != EXIT_OK)
        return st;
    std::FILE* log = nullptr;
    if (!s.o.logPath.empty()) {
        std::string why;
        const int fd = io::OpenForLines(s.o.logPath, s.o.append, &why);
        log = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
        if (fd >= 0 && !log)
            ::close(fd);
        if (!log || (!s.o.append && std::fprintf(log, "%s\n", monitor::kLogHeader) < 0) || std::fflush(log) != 0) {
            if (log)
                std::fclose(log);
            s.error = s.o.logPath + " cannot be opened for writing" + (why.empty() ? "" : ": " + why);
            return EXIT_FILE;
        }
    }
    if (!s.o.json)
        std::fprintf(stdout, "%s\n", monitor::kLogHeader);
    std::fflush(stdout);
    const int decimals = ValueDecimals(tecreg::EncClass::T, served.tempScale);
    long ticks = 0, good = 0;
    auto next = std::chrono::steady_clock::now();
    int status = EXIT_OK;
    while ((s.o.count == 0 || ticks < s.o.count) && !(s.interrupted && *s.interrupted)) {
        while (std::chrono::steady_clock::now() < next && !(s.interrupted && *s.interrupted))
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                std::chrono::milliseconds(50), next - std::chrono::steady_clock::now()));
        if (s.interrupted && *s.interrupted)
            break;
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(s.o.interval));
        ++ticks;
        const Reply r = c.get(c.controller());
        double sv = 0, pv = 0, time = 0;
        if (r.status != 200) {
            status = Failed(s, c, r, "give the last reading");
            if (!r.reached)
                break;
            std::fprintf(stderr, "tecctl watch: %s\n", io::EscapeText(s.error).c_str());
            continue;
        }
        if (r.body.toObject()["state"].toString() == "offline" || !SampleOf(r.body.toObject(), &sv, &pv, &time)) {
            std::fprintf(stderr, "tecctl watch: no answer at tick %ld\n", ticks);
            continue;
        }
        ++good;
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        localtime_r(&t, &tm);
        char clock[16];
        std::strftime(clock, sizeof clock, "%H:%M:%S", &tm);
        const std::string line = monitor::FormatLogLine(tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, clock,
                                                        static_cast<float>(sv), static_cast<float>(pv));
        if (s.o.json) {
            JsonWriter j;
            j.beginObject();
            j.string("date", std::to_string(tm.tm_mon + 1) + "/" + std::to_string(tm.tm_mday) + "/" +
                                 std::to_string(tm.tm_year + 1900));
            j.string("time", clock);
            j.number("sv", sv, decimals);
            j.number("pv", pv, decimals);
            j.endObject();
            std::fprintf(stdout, "%s\n", j.text().c_str());
        } else {
            std::fprintf(stdout, "%s\n", line.c_str());
        }
        std::fflush(stdout);
        if (log && (std::fprintf(log, "%s\n", line.c_str()) < 0 || std::fflush(log) != 0)) {
            std::fclose(log);
            log = nullptr;
            s.error = "writing " + s.o.logPath + " failed";
            return EXIT_FILE;
        }
    }
    if (log && std::fclose(log) != 0) {
        s.error = s.o.logPath + " could not be completed";
        return EXIT_FILE;
    }
    if (status == EXIT_PORT)
        return status;
    if (good == 0 && ticks > 0) {
        s.error = "no tick got an answer";
        return EXIT_SILENT;
    }
    return EXIT_OK;
}

} // namespace

std::string ServerTokenPath()
{
    return server::TokenPath();
}

int RunThroughServer(Session& s, const server::ServedPort& held, int address)
{
    const Options& o = s.o;
    const std::string& cmd = o.command;
    // The server serves its rounds and takes single writes; what reads or
    // writes the controller in bulk, or asks it what no round reads, needs
    // the port.
    const bool own = cmd == "save" || cmd == "load" || cmd == "raw" || (cmd == "program" && o.args[0] != "run" &&
                                                                         o.args[0] != "stop");
    const std::string holder = "pid " + std::to_string(held.pid);
    if (own) {
        s.error = held.device + " is held by " + holder + ", which serves it at " + held.url + "; " + cmd +
                  " needs the port itself: stop that program first";
        return EXIT_PORT;
    }
    std::fprintf(stderr, "tecctl %s: %s is held by %s; going through its server at %s\n",
                 io::EscapeText(cmd).c_str(), io::EscapeText(held.device).c_str(), holder.c_str(),
                 io::EscapeText(held.url).c_str());
    Client c(s, held, address);
    // The controller as the server knows it: there at all, and its identity
    // (for identify and the document's "model" and "identity").
    const Reply r = c.get(c.controller());
    if (r.status != 200)
        return Failed(s, c, r, "give controller " + std::to_string(address));
    const QJsonObject ctl = r.body.toObject();
    // A server may serve controllers on several ports by their addresses:
    // the one at this address on another port than the one named is not
    // the controller asked for, and nothing is read from or sent to it.
    const std::string on = ctl["port"].toString().toStdString();
    if (!on.empty() && server::ResolvedDevice(on) != held.device) {
        s.error = "the server at " + held.url + " serves no controller at address " + std::to_string(address) +
                  " on " + held.device + " (its controller at that address is on " + on + ")";
        return EXIT_SILENT;
    }
    if (!ctl["model"].isDouble()) {
        s.error = "controller " + std::to_string(address) + " did not answer its identification to the server at " +
                  held.url;
        return EXIT_SILENT;
    }
    s.model = ctl["model"].toInt();
    s.identLo = ctl["identity"].toInt();
    if (cmd == "identify") {
        char model[8];
        std::snprintf(model, sizeof model, "%02X", s.model);
        s.text += std::string("model code 0x") + model + (s.model == comlink::kModelVexaMax ? " (VEXAMAX)" : "") + "\nidentity " +
                  std::to_string(s.identLo) + "\n";
        return EXIT_OK;
    }
    if (cmd == "read")
        return Read(s, c, {});
    if (cmd == "get")
        return Read(s, c, o.args);
    if (cmd == "set")
        return Set(s, c, o.args);
    if (cmd == "output") {
        // Written as a set of the output level, said as `output` says it.
        const int status = Set(s, c, {"output=" + o.args[0]});
        if (status != EXIT_OK)
            return status;
        Assignment a;
        double level = 0;
        ParseAssignment("output=" + o.args[0], &a, &s.error);
        CheckResolution(a, 1.0f, o.round, &level, &s.error);
        s.json = JsonWriter();
        s.json.number("output", level, 1);
        char line[64];
        std::snprintf(line, sizeof line, "output level %.1f %%\n", level);
        s.text = line;
        return EXIT_OK;
    }
    if (cmd == "function") {
        int code = 0;
        if (!ParseFunction(o.args[0], &code, &s.error))
            return EXIT_USAGE;
        QJsonObject body;
        body["function"] = QString::fromUtf8(WordForCode("function", code));
        const Reply r = c.post(c.controller("/function"), body);
        if (r.status != 200)
            return Failed(s, c, r, "switch the control function");
        s.json.integer("function", code);
        s.json.string("word", WordForCode("function", code));
        s.text += std::string("control function ") + WordForCode("function", code) + "\n";
        return EXIT_OK;
    }
    if (cmd == "program") {
        const std::string& sub = o.args[0];
        if (sub == "run" || sub == "stop") {
            const Reply r = c.post(c.controller("/program/" + QString::fromStdString(sub)), QJsonObject());
            if (r.status != 200)
                return Failed(s, c, r, sub + " the step program");
            s.json.string("program", sub == "run" ? "started" : "stopped");
            s.text += sub == "run" ? "step program started\n" : "step program stopped\n";
            return EXIT_OK;
        }
        s.error = "program " + sub + " cannot go through the server";
        return EXIT_PORT;
    }
    if (cmd == "watch")
        return Watch(s, c);
    s.error = cmd + " cannot go through the server";
    return EXIT_PORT;
}

} // namespace tecctl
