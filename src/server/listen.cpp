#include "server/http_server.h"

namespace server {

namespace {

// "[ADDR:]PORT"; port 0 only when any free one may be taken.
bool Parse(const QString& text, bool anyFreePort, QHostAddress* address, quint16* port, QString* error)
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
    if (!ok || (p == 0 && !anyFreePort) || p > 65535) {
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

} // namespace

bool ParseListenAddress(const QString& text, QHostAddress* address, quint16* port, QString* error)
{
    return Parse(text, false, address, port, error);
}

bool ParseListenText(const std::string& text, QHostAddress* address, quint16* port, std::string* error)
{
    QString why;
    if (Parse(QString::fromStdString(text).trimmed(), true, address, port, &why))
        return true;
    *error = why.toStdString();
    return false;
}

bool IsLoopback(const QHostAddress& address)
{
    return address.isLoopback();
}

} // namespace server
