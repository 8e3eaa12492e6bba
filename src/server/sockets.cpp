#include "server/sockets.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace server::net {

namespace {

#ifdef _WIN32
QString LastError()
{
    return "error " + QString::number(WSAGetLastError());
}
#else
QString LastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
#endif

// A stream socket that does not block and is not inherited.
Socket Open(int family)
{
#ifdef __linux__
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
#elif defined(_WIN32)
    const Socket s = ::socket(family, SOCK_STREAM, 0);
    u_long on = 1;
    if (s != kNoSocket)
        ::ioctlsocket(s, FIONBIO, &on);
    return s;
#else
    const Socket s = ::socket(family, SOCK_STREAM, 0);
    if (s != kNoSocket) {
        ::fcntl(s, F_SETFD, FD_CLOEXEC);
        ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
    }
    return s;
#endif
}

} // namespace

Socket Listen(const QHostAddress& address, quint16 port, quint16* bound, QString* why)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    const bool dual = address == QHostAddress::Any;
    const bool v6 = dual || address.protocol() == QAbstractSocket::IPv6Protocol;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = dual ? QHostAddress(QHostAddress::AnyIPv6).toIPv6Address() : address.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, sizeof bytes.c);
        a->sin6_scope_id = address.scopeId().toUInt();
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *a;
    }
    const Socket s = Open(v6 ? AF_INET6 : AF_INET);
    if (s == kNoSocket) {
        *why = LastError();
        return kNoSocket;
    }
    const int one = 1, v6only = dual ? 0 : 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    if (v6)
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only), sizeof v6only);
    if (::bind(s, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(s, 128) != 0) {
        *why = LastError();
        Close(s);
        return kNoSocket;
    }
    sockaddr_storage got{};
    socklen_t gotLength = sizeof got;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&got), &gotLength);
    *bound = ntohs(got.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&got)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&got)->sin_port);
    return s;
}

void Close(Socket s)
{
#ifdef _WIN32
    ::closesocket(s);
#else
    ::close(s);
#endif
}

void SendAndShut(Socket s, const std::string& text)
{
#ifdef MSG_NOSIGNAL
    constexpr int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
#elif defined(MSG_DONTWAIT)
    constexpr int flags = MSG_DONTWAIT;
#else
    constexpr int flags = 0;
#endif
    [[maybe_unused]] const auto n = ::send(s, text.data(), static_cast<int>(text.size()), flags);
#ifdef _WIN32
    ::shutdown(s, SD_BOTH);
#else
    ::shutdown(s, SHUT_RDWR);
#endif
}

bool PeerClosed(Socket s)
{
    char c;
#ifdef MSG_DONTWAIT
    const auto n = ::recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT);
#else
    const auto n = ::recv(s, &c, 1, MSG_PEEK);
#endif
#ifdef _WIN32
    return n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
#else
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
#endif
}

std::set<qintptr> Descriptors(const fd_set& set, int max)
{
    std::set<qintptr> out;
#ifdef _WIN32
    (void)max;
    for (u_int i = 0; i < set.fd_count; ++i)
        out.insert(static_cast<qintptr>(set.fd_array[i]));
#else
    for (int fd = 0; fd <= max; ++fd)
        if (FD_ISSET(fd, &set))
            out.insert(fd);
#endif
    return out;
}

} // namespace server::net
