#include "socket/QtSocketEndpoint.h"

#include "common/Cp1252.h"

#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <climits>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace
{

constexpr qint64 kMaxPort = 65535;
// The size of one piece of a text on its way to the socket, and how little the socket may hold
// before the next piece goes in (bytes; one character is one byte).
constexpr qsizetype kSendPiece = qsizetype(256) * 1024;

void discard(QTcpSocket *socket)
{
    // deleteLater: the socket may be inside one of its own signal emissions further up the stack.
    socket->abort();
    socket->deleteLater();
}

// A printer that reboots or loses its cable leaves a connection that looks open until the next
// send, and a send to it waits for the kernel's retransmissions for many minutes. Keep-alive
// probes after 10 s of silence, every 5 s, 3 of them, and a 30 s limit for unacknowledged data
// end such a connection with the error event within about 30 s. Qt only switches keep-alive on;
// the timing needs the socket options themselves.
void applyKeepAlive(QTcpSocket *socket)
{
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0)
        return;
    const int on = 1;
    const int idle = QtSocketEndpoint::keepAliveIdleSeconds;
    const int interval = QtSocketEndpoint::keepAliveIntervalSeconds;
    const int count = QtSocketEndpoint::keepAliveProbes;
    const unsigned int userTimeout = QtSocketEndpoint::unacknowledgedLimitMs;
    const int d = static_cast<int>(fd);
    ::setsockopt(d, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(d, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(d, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(d, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(d, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

} // namespace

qintptr QtSocketEndpoint::connectionDescriptor() const
{
    return m_socket ? m_socket->socketDescriptor() : -1;
}

QtSocketEndpoint::QtSocketEndpoint(QObject *parent) : SocketEndpoint(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        if (m_requestsQueued)
            return;
        m_requestsQueued = true;
        // Generation 0: a request is judged when it is delivered, against the listener as it is
        // then, not against the connection that was current when the peer knocked.
        m_queue.push_back({0, [this] { serveConnectionRequests(); }});
        if (!m_deliveryScheduled) {
            m_deliveryScheduled = true;
            QMetaObject::invokeMethod(this, &QtSocketEndpoint::deliverQueued, Qt::QueuedConnection);
        }
    });
}

QtSocketEndpoint::~QtSocketEndpoint() = default;

QString QtSocketEndpoint::errorText(int number)
{
    switch (number) {
    case InvalidPropertyValue:
        return QStringLiteral("Invalid property value");
    case PermissionDenied:
        return QStringLiteral("Permission denied");
    case AddressInUse:
        return QStringLiteral("Address in use");
    case AddressNotAvailable:
        return QStringLiteral("Address not available");
    case ConnectionAborted:
        return QStringLiteral("Connection aborted");
    case ConnectionReset:
        return QStringLiteral("Connection reset by the remote side");
    case NoBufferSpace:
        return QStringLiteral("No buffer space available");
    case NotConnected:
        return QStringLiteral("Socket is not connected");
    case TimedOut:
        return QStringLiteral("Connection timed out");
    case ConnectionRefused:
        return QStringLiteral("Connection refused");
    case HostUnreachable:
        return QStringLiteral("No route to host");
    case HostNotFound:
        return QStringLiteral("Host not found");
    case BadState:
        return QStringLiteral("Wrong protocol or connection state for the requested transaction or request");
    case UnexpectedError:
        return QStringLiteral("Unexpected socket error");
    default:
        return {};
    }
}

int QtSocketEndpoint::numberFor(QAbstractSocket::SocketError error, bool wasConnected)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return ConnectionRefused;
    case QAbstractSocket::RemoteHostClosedError:
        return ConnectionAborted;
    case QAbstractSocket::HostNotFoundError:
        return HostNotFound;
    case QAbstractSocket::SocketAccessError:
        return PermissionDenied;
    case QAbstractSocket::SocketResourceError:
        return NoBufferSpace;
    case QAbstractSocket::SocketTimeoutError:
        return TimedOut;
    case QAbstractSocket::AddressInUseError:
        return AddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return AddressNotAvailable;
    case QAbstractSocket::NetworkError:
        // Qt reports an unreachable host or network and a line failing under an open connection
        // alike; the phase tells them apart.
        return wasConnected ? ConnectionReset : HostUnreachable;
    default:
        return UnexpectedError;
    }
}

QString QtSocketEndpoint::describe(int number) const
{
    QString text = errorText(number);
    if (!m_peer.isEmpty())
        text += QStringLiteral(": ") + m_peer;
    // Our own text says nothing about an error we did not foresee; Qt's does.
    if (number == UnexpectedError && m_socket)
        text += QStringLiteral(" (") + m_socket->errorString() + QLatin1Char(')');
    return text;
}

bool QtSocketEndpoint::fail(int number, const QString &detail)
{
    m_error.set(number,
                detail.isEmpty() ? errorText(number) : errorText(number) + QStringLiteral(": ") + detail);
    return false;
}

void QtSocketEndpoint::post(std::function<void()> emitter)
{
    m_queue.push_back({m_generation, std::move(emitter)});
    if (m_deliveryScheduled)
        return;
    m_deliveryScheduled = true;
    QMetaObject::invokeMethod(this, &QtSocketEndpoint::deliverQueued, Qt::QueuedConnection);
}

void QtSocketEndpoint::deliverQueued()
{
    m_deliveryScheduled = false;
    // Only what is queued now: events that the handlers cause follow in a later turn of the loop.
    for (std::size_t count = m_queue.size(); count > 0 && !m_queue.empty(); --count) {
        Queued item = std::move(m_queue.front());
        m_queue.pop_front();
        if (item.generation == 0 || item.generation == m_generation)
            item.emitter();
    }
}

void QtSocketEndpoint::setState(int state)
{
    if (state == m_state)
        return;
    m_state = state;
    post([this, state] { emit stateChanged(state); });
}

void QtSocketEndpoint::postDataArrival()
{
    // One event carries everything that came in before it is delivered.
    if (m_dataArrivalQueued)
        return;
    m_dataArrivalQueued = true;
    post([this] {
        m_dataArrivalQueued = false;
        if (!m_received.isEmpty())
            emit dataArrival(m_received.size());
    });
}

bool QtSocketEndpoint::setLocalPort(qint64 port)
{
    if (m_state != Closed)
        return fail(InvalidPropertyValue,
                    QStringLiteral("the local port can only be changed while the port is closed"));
    if (port < 0 || port > kMaxPort)
        return fail(InvalidPropertyValue,
                    QStringLiteral("local port %1 is not between 0 and 65535").arg(port));
    m_localPort = port;
    return true;
}

qint64 QtSocketEndpoint::localPort() const
{
    return m_server->isListening() ? m_server->serverPort() : m_localPort;
}

bool QtSocketEndpoint::listen()
{
    if (m_state != Closed)
        return fail(BadState, QStringLiteral("Listen needs a closed port"));
    closeListener();
    if (!m_server->listen(m_listenAddress, static_cast<quint16>(m_localPort))) {
        const int number = numberFor(m_server->serverError(), false);
        QString detail = QStringLiteral("port %1").arg(m_localPort);
        if (number == UnexpectedError)
            detail += QStringLiteral(" (") + m_server->errorString() + QLatin1Char(')');
        return fail(number, detail);
    }
    m_peer.clear();
    setState(Listening);
    return true;
}

bool QtSocketEndpoint::connectToPeer(const QString &host, const QString &port)
{
    if (m_state != Closed)
        return fail(BadState, QStringLiteral("Connect needs a closed port"));
    bool ok = false;
    const uint number = port.trimmed().toUInt(&ok);
    if (!ok || number < 1 || number > kMaxPort)
        return fail(InvalidPropertyValue,
                    QStringLiteral("remote port \"%1\" is not a number between 1 and 65535").arg(port));
    const QString name = host.trimmed();
    if (name.isEmpty())
        return fail(HostNotFound, QStringLiteral("no remote host given"));

    m_peer = name + QLatin1Char(':') + QString::number(number);
    adopt(new QTcpSocket(this));
    setState(Resolving);
    // May already fail inside (a refused loopback port); that arrives as the error event all the
    // same, because the handlers only queue events.
    m_socket->connectToHost(name, static_cast<quint16>(number));
    return true;
}

bool QtSocketEndpoint::accept(int requestId)
{
    if (!m_offered || requestId != m_offeredId)
        return fail(BadState, QStringLiteral("no connection request %1 is waiting").arg(requestId));
    if (m_state != Closed)
        return fail(BadState, QStringLiteral("Accept needs a closed port"));

    QTcpSocket *socket = std::exchange(m_offered, nullptr);
    m_peer = socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
    adopt(socket);
    applyKeepAlive(socket);
    setState(Connected);
    if (m_listenerHeld) {
        m_listenerHeld = false;
        m_server->resumeAccepting();
    }
    // The peer may have sent, or even left, while the request waited for its event.
    onReadyRead();
    if (socket->state() != QAbstractSocket::ConnectedState)
        onPeerGone();
    return true;
}

bool QtSocketEndpoint::sendData(const QString &text)
{
    if (m_state != Connected || !m_socket)
        return fail(NotConnected, QStringLiteral("state %1").arg(m_state));
    if (!text.isEmpty()) {
        m_unsent.push_back(text);
        m_unsentChars += text.size();
        if (!feed()) {
            dropUnsent();
            return fail(UnexpectedError,
                        m_peer + QStringLiteral(" (") + m_socket->errorString() + QLatin1Char(')'));
        }
    }
    m_sendPending = true;
    m_sendInFlight = true;
    // Nothing left to write (empty text): complete at once, but still from the event loop.
    onBytesWritten();
    return true;
}

bool QtSocketEndpoint::feed()
{
    while (!m_unsent.empty() && m_socket->bytesToWrite() < kSendPiece) {
        const QString &text = m_unsent.front();
        qsizetype length = std::min(kSendPiece, text.size() - m_unsentDone);
        // The two halves of a character beyond U+FFFF stay in one piece: they become one byte.
        if (m_unsentDone + length < text.size() && text.at(m_unsentDone + length - 1).isHighSurrogate() &&
            text.at(m_unsentDone + length).isLowSurrogate())
            ++length;
        const QByteArray bytes =
            cp1252::encode(length == text.size() ? text : text.sliced(m_unsentDone, length));
        if (m_socket->write(bytes) != bytes.size())
            return false;
        m_unsentDone += length;
        m_unsentChars -= length;
        if (m_unsentDone == text.size()) {
            m_unsent.pop_front();
            m_unsentDone = 0;
        }
    }
    return true;
}

void QtSocketEndpoint::dropUnsent()
{
    m_unsent.clear();
    m_unsentDone = 0;
    m_unsentChars = 0;
}

QHostAddress QtSocketEndpoint::requestPeer() const
{
    return m_offered ? m_offered->peerAddress() : QHostAddress();
}

qint64 QtSocketEndpoint::bytesToSend() const
{
    return m_socket ? m_socket->bytesToWrite() + m_unsentChars : 0;
}

QString QtSocketEndpoint::getData()
{
    return cp1252::decode(std::exchange(m_received, QByteArray()));
}

void QtSocketEndpoint::close()
{
    ++m_generation;
    m_dataArrivalQueued = false;
    m_sendPending = false;
    m_sendInFlight = false;
    dropUnsent();
    m_received.clear();
    m_peer.clear();
    dropConnection();
    if (m_offered) {
        // Inside connectionRequest: the caller usually accepts next, and the listener must then
        // go on reporting later peers, so it is only paused here.
        if (m_server->isListening()) {
            m_server->pauseAccepting();
            m_listenerHeld = true;
        }
    } else {
        closeListener();
    }
    setState(Closed);
}

void QtSocketEndpoint::adopt(QTcpSocket *socket)
{
    socket->setParent(this);
    m_socket = socket;
    connect(socket, &QAbstractSocket::stateChanged, this, [this, socket](QAbstractSocket::SocketState state) {
        if (socket == m_socket)
            onSocketStateChanged(state);
    });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                if (socket == m_socket)
                    onSocketError(error);
            });
    connect(socket, &QIODevice::readyRead, this, [this, socket] {
        if (socket == m_socket)
            onReadyRead();
    });
    connect(socket, &QIODevice::bytesWritten, this, [this, socket] {
        if (socket == m_socket)
            onBytesWritten();
    });
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
        if (socket == m_socket)
            onPeerGone();
    });
}

void QtSocketEndpoint::dropConnection()
{
    if (!m_socket)
        return;
    QTcpSocket *socket = std::exchange(m_socket, nullptr);
    socket->disconnect(this);
    discard(socket);
}

void QtSocketEndpoint::closeListener()
{
    m_listenerHeld = false;
    if (m_server->isListening())
        m_server->close();
}

void QtSocketEndpoint::serveConnectionRequests()
{
    m_requestsQueued = false;
    while (m_server->isListening() && !m_listenerHeld && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        socket->setParent(this);
        m_offered = socket;
        m_offeredId = m_lastRequestId == INT_MAX ? 1 : m_lastRequestId + 1;
        m_lastRequestId = m_offeredId;
        emit connectionRequest(m_offeredId);
        // Not accepted: turned away now, so that the peer is not left hanging on a connection
        // nobody reads.
        if (QTcpSocket *left = std::exchange(m_offered, nullptr))
            discard(left);
        m_offeredId = 0;
        if (m_listenerHeld)
            closeListener();
    }
}

void QtSocketEndpoint::onSocketStateChanged(QAbstractSocket::SocketState state)
{
    switch (state) {
    case QAbstractSocket::HostLookupState:
        setState(Resolving);
        break;
    case QAbstractSocket::ConnectingState:
        if (m_state == Resolving)
            setState(Resolved);
        setState(Connecting);
        break;
    case QAbstractSocket::ConnectedState:
        if (m_state == Resolving)
            setState(Resolved);
        if (m_state == Resolved)
            setState(Connecting);
        applyKeepAlive(m_socket);
        setState(Connected);
        post([this] { emit connected(); });
        break;
    default:
        // Losing the connection arrives as disconnected or as an error.
        break;
    }
}

void QtSocketEndpoint::onSocketError(QAbstractSocket::SocketError error)
{
    if (error == QAbstractSocket::RemoteHostClosedError && m_state == Connected) {
        onPeerGone();
        return;
    }
    // After the peer has closed, or after the first error, the connection has nothing new to say.
    if (m_state == Closing || m_state == Error)
        return;
    const int number = numberFor(error, m_state == Connected);
    const QString description = describe(number);
    setState(Error);
    post([this, number, description] { emit errorOccurred(number, description); });
}

void QtSocketEndpoint::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    m_received += bytes;
    postDataArrival();
}

void QtSocketEndpoint::onBytesWritten()
{
    if (!m_sendPending || !m_socket)
        return;
    // A piece the socket refuses now would be refused again: the connection is failing, and its
    // error event ends the send.
    if (!feed())
        dropUnsent();
    if (!m_unsent.empty() || m_socket->bytesToWrite() > 0)
        return;
    m_sendPending = false;
    post([this] {
        // A later sendData before this delivery keeps its own send pending.
        if (!m_sendPending)
            m_sendInFlight = false;
        emit sendComplete();
    });
}

void QtSocketEndpoint::onPeerGone()
{
    if (m_state != Connected)
        return;
    // What the peer sent before it left still belongs to the connection.
    onReadyRead();
    m_sendPending = false;
    m_sendInFlight = false;
    dropUnsent();
    setState(Closing);
    post([this] { emit peerClosed(); });
}
