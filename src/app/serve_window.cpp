// The Server window and the server's setting: the switch and the address
// kept in the settings, and the window that shows the URL, the token, the
// clients and the last requests.
#include "app/serve.h"

#include "app/app.h"
#include "rt/table.h"
#include "server/http_server.h"
#include "server/hub.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QHostAddress>
#include <QSettings>

#include <deque>

namespace serve {

Setting LoadSetting(const std::string& settingsFile)
{
    Setting s;
    if (settingsFile.empty())
        return s;
    QSettings q(QString::fromStdString(settingsFile), QSettings::IniFormat);
    q.beginGroup("server");
    s.on = q.value("on", false).toBool();
    const std::string listen = q.value("listen", QString(kDefaultListen)).toString().toStdString();
    std::string why;
    // A hand-edited address that cannot be listened on is not served.
    if (CheckListen(listen, &why))
        s.listen = listen;
    else
        s.on = false;
    q.endGroup();
    return s;
}

void SaveSetting(const Setting& setting, const std::string& settingsFile)
{
    if (settingsFile.empty())
        return;
    QSettings q(QString::fromStdString(settingsFile), QSettings::IniFormat);
    q.beginGroup("server");
    q.setValue("on", setting.on);
    q.setValue("listen", QString::fromStdString(setting.listen));
    q.endGroup();
    q.sync();
}

bool CheckListen(const std::string& listen, std::string* error)
{
    QHostAddress address;
    quint16 port = 0;
    return server::ParseListenText(listen, &address, &port, error);
}

std::string ExposureWarning(const std::string& listen)
{
    QHostAddress address;
    quint16 port = 0;
    std::string why;
    if (!server::ParseListenText(listen, &address, &port, &why) || server::IsLoopback(address))
        return {};
    return "warning: listening on " + address.toString().toStdString() +
           ": everyone who can reach this computer there can read the controllers (writes need the token)";
}

void Refresh(App& app)
{
    const int sp = app.panels.server;
    if (sp <= 0)
        return;
    rt::Runtime& rt = app.rt;
    const server::HttpServer* http = Listener(app);
    rt.SetCtrlVal(sp, SERVER_SWITCH, http ? 1 : 0);
    rt.SetCtrlVal(sp, SERVER_URL, http ? http->url().toStdString() : std::string());
    rt.SetCtrlVal(sp, SERVER_TOKEN, Token(app));
    std::string status = app.serving.status;
    if (const server::Hub* hub = ServedHub(app))
        for (const core::Controller* c : hub->unserved()) {
            // Said with the port, as the overview's rows name it.
            if (!status.empty())
                status += "\n";
            status += "Not served: " + c->label() + " on port " + std::to_string(c->port) + " (address " +
                      std::to_string(c->address) + " is served for another port)";
        }
    rt.SetCtrlVal(sp, SERVER_STATUS, status);
    std::string clients = "\xE2\x80\x94";  // an em dash: not serving
    if (http) {
        clients = std::to_string(http->clients()) + " connected";
        if (http->streams() > 0)
            clients += ", " + std::to_string(http->streams()) + " following the live page";
    }
    rt.SetCtrlVal(sp, SERVER_CLIENTS, clients);
    const std::deque<server::RequestNote> none;
    const std::deque<server::RequestNote>& notes = http ? http->lastRequests() : none;
    rt::SetTableRowCount(rt, sp, SERVER_REQUESTS, static_cast<int>(notes.size()));
    int row = 0;
    for (auto it = notes.rbegin(); it != notes.rend(); ++it, ++row) {
        const QString time = QDateTime::fromMSecsSinceEpoch(it->wallMillis).toString("HH:mm:ss");
        rt::SetTableRow(rt, sp, SERVER_REQUESTS, row,
                        {time.toStdString(), it->client.toStdString(), it->method.toStdString(),
                         std::to_string(it->status), it->target.toStdString()},
                        it->status >= 400 ? rt::RowMark::Stale : rt::RowMark::Normal);
    }
    rt::FitTableColumns(rt, sp, SERVER_REQUESTS);
}

} // namespace serve

TEC_CALLBACK(OpenServer)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int sp = app.panels.server;
    if (sp <= 0)
        return 0;
    app.rt.SetCtrlVal(sp, SERVER_ADDRESS, app.serving.listen);
    serve::Refresh(app);
    app.rt.DisplayPanel(sp);
    app.rt.SetCtrlAttribute(sp, SERVER_TIMER, rt::ATTR_ENABLED, 1);
    return 0;
}

TEC_CALLBACK(ServerClose)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    app.rt.SetCtrlAttribute(app.panels.server, SERVER_TIMER, rt::ATTR_ENABLED, 0);
    app.rt.HidePanel(app.panels.server);
    return 0;
}

TEC_CALLBACK(ServerSwitch)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int sp = app.panels.server;
    int on = 0;
    std::string listen;
    app.rt.GetCtrlVal(sp, SERVER_SWITCH, &on);
    app.rt.GetCtrlVal(sp, SERVER_ADDRESS, &listen);
    listen = QString::fromStdString(listen).trimmed().toStdString();
    if (listen.empty())
        listen = serve::kDefaultListen;
    serve::Setting kept;
    kept.on = on != 0;
    kept.listen = listen;
    if (on) {
        if (const std::string why = serve::Start(app, listen); !why.empty()) {
            // Nothing is served, and nothing is kept that would fail again.
            serve::Refresh(app);
            return 0;
        }
    } else {
        serve::Stop(app);
        app.serving.listen = listen;
        app.serving.status.clear();
    }
    serve::SaveSetting(kept, app.settingsFile);
    app.rt.SetCtrlVal(sp, SERVER_ADDRESS, app.serving.listen);
    serve::Refresh(app);
    return 0;
}

TEC_CALLBACK(ServerCopy)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const std::string token = serve::Token(app);
    if (token.empty())
        return 0;
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(QString::fromStdString(token));
    return 0;
}

TEC_CALLBACK(ServerRefresh)
{
    if (event != rt::EVENT_TIMER_TICK)
        return 0;
    serve::Refresh(app);
    return 0;
}
