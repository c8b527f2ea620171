#include "plc/TargetedLink.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// A connect to a port of this machine on which nobody listens can end up connected to itself
// (TCP simultaneous open, when the system picks the same port as the source); the other
// end would then seem to answer with the link's own requests.
bool connectedToItself(int fd)
{
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof(local), peerLen = sizeof(peer);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLen) != 0)
        return false;
    return localLen == peerLen && std::memcmp(&local, &peer, localLen) == 0;
}

} // namespace

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

bool TargetedLink::connectSucceeded(int fd)
{
    int err = 0;
    socklen_t len = sizeof(err);
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 &&
           !connectedToItself(fd);
}

int TargetedLink::awaitConnect(int fd, int ms)
{
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
        n = ::poll(&p, 1, qMax(0, ms));
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return 0;
    return n > 0 && connectSucceeded(fd) ? 1 : -1;
}

void TargetedLink::releaseNotifier(QSocketNotifier *&notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}
