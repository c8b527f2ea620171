#include "plc/TargetedLink.h"

#include <QHostAddress>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// By hand rather than QTcpSocket: the links wait for their answers on the descriptor itself
// (a bounded poll), which a QTcpSocket cannot do without running the event loop.
int TargetedLink::startConnect(const QHostAddress &address, quint16 port, bool &connectedAtOnce)
{
    connectedAtOnce = false;
    sockaddr_storage sa{};
    socklen_t saLen = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *s6 = reinterpret_cast<sockaddr_in6 *>(&sa);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        const Q_IPV6ADDR a = address.toIPv6Address();
        std::memcpy(&s6->sin6_addr, a.c, 16);
        saLen = sizeof(sockaddr_in6);
    } else {
        auto *s4 = reinterpret_cast<sockaddr_in *>(&sa);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(port);
        s4->sin_addr.s_addr = htonl(address.toIPv4Address());
        saLen = sizeof(sockaddr_in);
    }
    const int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), saLen) == 0) {
        connectedAtOnce = true;
        return fd;
    }
    if (errno == EINPROGRESS)
        return fd;
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}
