// The few socket calls the server makes itself, for POSIX and Winsock
// alike: its listening socket, a word to a client the HTTP library has not
// read yet, and a look whether a client went.
#pragma once

#include <QHostAddress>
#include <QString>

#include <set>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#endif

namespace server::net {

#ifdef _WIN32
using Socket = SOCKET;
inline const Socket kNoSocket = INVALID_SOCKET;
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
#endif

// A listening socket that does not block, on address:port (port 0: any free
// one; QHostAddress::Any: IPv6 and IPv4 both), and the port it has; or
// kNoSocket with the reason.
Socket Listen(const QHostAddress& address, quint16 port, quint16* bound, QString* why);
void Close(Socket s);
// Hands the kernel what it takes now, then ends the connection both ways.
void SendAndShut(Socket s, const std::string& text);
// True when the peer closed the connection (its end is there to be read).
bool PeerClosed(Socket s);
// The descriptors in a select() set, up to max.
std::set<qintptr> Descriptors(const fd_set& set, int max);

} // namespace server::net
