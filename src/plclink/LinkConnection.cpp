#include "plclink/LinkConnection.h"

#include "common/EventSink.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace plclink;

namespace
{

constexpr int MaxRetryDelayMs = 1000;

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

// A non-blocking TCP socket (no delay on small writes) whose connect has been started: the
// descriptor, or -1 with errno set. connectedAtOnce tells a connect that needed no wait.
//
// By hand rather than QTcpSocket: the links wait for their answers on the descriptor itself (a
// bounded poll), which a QTcpSocket cannot do without running the event loop.
int startConnect(const QHostAddress &address, quint16 port, bool &connectedAtOnce)
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

// Why a started connect failed: 0 when it succeeded. A connection to itself counts as refused.
int connectError(int fd)
{
    int err = 0;
    socklen_t len = sizeof(err);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    if (err == 0 && connectedToItself(fd))
        return ECONNREFUSED;
    return err;
}

// Waits at most ms for a started connect: 1 connected, 0 timed out, -1 failed (error says why).
int awaitConnect(int fd, int ms, int &error)
{
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
        n = ::poll(&p, 1, qMax(0, ms));
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return 0;
    error = n < 0 ? errno : connectError(fd);
    return error == 0 ? 1 : -1;
}

QString connectErrorText(int error)
{
    if (error == ECONNREFUSED)
        return QStringLiteral("connection refused (nothing listens on that port)");
    return QString::fromLocal8Bit(std::strerror(error));
}

// Stops and drops a socket notifier (later: it may be the one whose signal is running).
void releaseNotifier(QSocketNotifier *&notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

} // namespace

LinkConnection::LinkConnection(Callbacks callbacks, QObject *parent)
    : QObject(parent), m_callbacks(std::move(callbacks))
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &LinkConnection::retry);
    m_greetingTimer.setSingleShot(true);
    connect(&m_greetingTimer, &QTimer::timeout, this, &LinkConnection::onGreetingTimeout);
}

LinkConnection::~LinkConnection()
{
    // The link is gone by now: no callbacks.
    if (m_fd >= 0)
        ::close(m_fd);
}

QString LinkConnection::stateText(State state)
{
    switch (state) {
    case State::Idle:
        return QStringLiteral("not connected");
    case State::Connecting:
        return QStringLiteral("connecting");
    case State::Connected:
        return QStringLiteral("connected");
    case State::Down:
        return QStringLiteral("connection lost, retrying");
    }
    return {};
}

QString LinkConnection::reasonText(qint32 code) const
{
    switch (code) {
    case Timeout:
        return QStringLiteral("no answer within %1 ms").arg(m_callTimeout);
    case ProtocolError:
        return QStringLiteral("the answer does not fit the protocol");
    case VersionMismatch:
        return QStringLiteral("the other side speaks another protocol version");
    case InvalidTarget:
        return QStringLiteral("the address or port is not usable (an IP address and a port 1..65535 are "
                              "needed; host names are not looked up)");
    default:
        return QStringLiteral("the other side closed the connection");
    }
}

void LinkConnection::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    if (m_callbacks.stateChanged)
        m_callbacks.stateChanged(state);
}

void LinkConnection::watchReads()
{
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] {
        if (m_callbacks.readable)
            m_callbacks.readable();
    });
}

void LinkConnection::close()
{
    if (m_callbacks.disconnected)
        m_callbacks.disconnected();
    releaseNotifier(m_readNotifier);
    releaseNotifier(m_writeNotifier);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_greetingTimer.stop();
}

void LinkConnection::reportDown(bool retrying)
{
    const QString target = m_callbacks.describe ? m_callbacks.describe() : QString();
    if (m_episode && target == m_reportedTarget)
        return;
    m_episode = true;
    m_reportedTarget = target;
    if (!m_events)
        return;
    QString text = QStringLiteral("PLC link down: cannot connect to %1: %2.").arg(target, m_lastFailure);
    if (retrying)
        text += QStringLiteral(" The link keeps trying.");
    m_events->event(EventSink::Error, text);
}

qint32 LinkConnection::connectIfIdle(int waitMs, bool &opened)
{
    opened = false;
    switch (m_state) {
    case State::Connected:
        return Ok;
    case State::Connecting:
    case State::Down:
        return m_downCode;
    case State::Idle:
        break;
    }
    QHostAddress address;
    quint16 port = 0;
    if (!m_callbacks.target(address, port)) {
        m_lastFailure = reasonText(InvalidTarget);
        reportDown(false);
        return InvalidTarget;
    }
    bool connectedAtOnce = false;
    const int fd = startConnect(address, port, connectedAtOnce);
    if (fd < 0) {
        fail(NotConnected, connectErrorText(errno));
        return NotConnected;
    }
    m_fd = fd;
    if (!connectedAtOnce) {
        int error = 0;
        const int n = awaitConnect(fd, waitMs, error);
        if (n == 0) {
            fail(Timeout, QStringLiteral("no answer to the connection request within %1 ms").arg(waitMs));
            return Timeout;
        }
        if (n < 0) {
            fail(NotConnected, connectErrorText(error));
            return NotConnected;
        }
    }
    watchReads();
    opened = true;
    return Ok;
}

void LinkConnection::established()
{
    m_greetingTimer.stop();
    m_nextDelay = m_firstDelay;
    if (!m_readNotifier)
        watchReads();
    setState(State::Connected);
    if (m_episode) {
        m_episode = false;
        if (m_events)
            m_events->event(EventSink::Information,
                            QStringLiteral("PLC link back: connected to %1.").arg(m_reportedTarget));
    }
}

void LinkConnection::fail(qint32 code, const QString &why)
{
    // A connection that was up is simply tried again; only a failure to connect begins an
    // episode that the event log hears of.
    const bool wasConnected = m_state == State::Connected;
    m_downCode = code == Timeout ? Timeout : NotConnected;
    m_lastFailure = why.isEmpty() ? reasonText(code) : why;
    close();
    if (!wasConnected)
        reportDown(true);
    setState(State::Down);
    scheduleRetry();
}

void LinkConnection::scheduleRetry()
{
    m_retryTimer.start(m_nextDelay);
    m_nextDelay = qMin(m_nextDelay * 2, MaxRetryDelayMs);
}

void LinkConnection::retarget()
{
    if (m_state == State::Idle)
        return;
    close();
    m_downCode = NotConnected;
    setState(State::Down);
    m_nextDelay = m_firstDelay;
    m_retryTimer.start(0);
}

void LinkConnection::release()
{
    m_retryTimer.stop();
    close();
    m_nextDelay = m_firstDelay;
    m_episode = false;
    setState(State::Idle);
}

void LinkConnection::retry()
{
    if (m_state == State::Idle || m_state == State::Connected)
        return;
    close();
    QHostAddress address;
    quint16 port = 0;
    if (!m_callbacks.target(address, port)) {
        // Retrying cannot help until the target is changed.
        m_downCode = NotConnected;
        m_lastFailure = reasonText(InvalidTarget);
        reportDown(false);
        setState(State::Down);
        return;
    }
    bool connectedAtOnce = false;
    const int fd = startConnect(address, port, connectedAtOnce);
    if (fd < 0) {
        fail(NotConnected, connectErrorText(errno));
        return;
    }
    m_fd = fd;
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &LinkConnection::onWritable);
    setState(State::Connecting);
    m_greetingTimer.start(m_callTimeout);
}

void LinkConnection::onWritable()
{
    releaseNotifier(m_writeNotifier);
    if (const int error = connectError(m_fd)) {
        // Refused (or connected to itself): the other side is gone rather than hung.
        fail(NotConnected, connectErrorText(error));
        return;
    }
    watchReads();
    // The greeting has the whole bound of its own.
    m_greetingTimer.start(m_callTimeout);
    m_callbacks.connected();
}

void LinkConnection::onGreetingTimeout()
{
    // Taken but not answered (or the connect itself hangs): the other side is there and not
    // answering.
    if (m_state != State::Connecting)
        return;
    fail(Timeout, m_writeNotifier
                      ? QStringLiteral("no answer to the connection request within %1 ms").arg(m_callTimeout)
                      : QStringLiteral("connected, but no answer within %1 ms").arg(m_callTimeout));
}
