#include "plclink/RuntimeLink.h"

#include "common/Cp1252.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

using namespace plcproto;

namespace
{

// A ping goes out after this long without any request of the gateway; while the gateway calls
// (the supervision cycle writes every 500 ms) the link needs no pings and no timer of its own.
constexpr int HeartbeatMs = 1000;
constexpr int DeadAfterMs = 2000;

int remainingMs(const QElapsedTimer &started, int bound)
{
    return int(qMax<qint64>(0, bound - started.elapsed()));
}

QVariant toVariant(const Value &v)
{
    switch (v.type) {
    case VarType::Bool:
        return QVariant(v.number != 0);
    case VarType::Int:
    case VarType::DInt:
        return QVariant(v.number);
    case VarType::String:
        return QVariant(cp1252::decode(v.text));
    }
    return {};
}

// What a reply to the greeting says: Ok, or why the link cannot use this runtime.
qint32 helloCode(const Message &reply, quint16 version)
{
    if (reply.type != MsgType::Hello)
        return ProtocolError;
    return reply.code != Ok || reply.version != version ? qint32(VersionMismatch) : qint32(Ok);
}

// A runtime that does not know this version is greeted again with an older one: the one it named
// if that is older, the next older otherwise; 0 when there is none.
quint16 greetAgain(const Message &reply, quint16 version)
{
    if (reply.type != MsgType::Hello || reply.code != VersionMismatch || version <= BaseVersion)
        return 0;
    return reply.version >= BaseVersion && reply.version < version ? reply.version : quint16(version - 1);
}

} // namespace

RuntimeLink::RuntimeLink(EventSink *events, QObject *parent) : TargetedLink(DefaultPort, events, parent)
{
    m_heartbeat.setSingleShot(true);
    m_heartbeat.setInterval(HeartbeatMs);
    // A coarse timer may fire a little before the second is up; the ping is then not yet due and
    // skipped, and the next tick finds two seconds without a reply: an idle link took a live
    // runtime for dead and reconnected about every half minute under load.
    m_heartbeat.setTimerType(Qt::PreciseTimer);
    connect(&m_heartbeat, &QTimer::timeout, this, &RuntimeLink::onHeartbeat);
}

RuntimeLink::~RuntimeLink()
{
    m_connection.close();
}

QString RuntimeLink::targetDescription() const
{
    return QStringLiteral("the PLC runtime at ") + hostAndPort();
}

// --- connection handling ---------------------------------------------------------------------
//
// The link talks to the socket with plain POSIX calls instead of QTcpSocket: a call must wait
// for its reply on this one socket without running the event loop, and QTcpSocket's waitFor*
// functions add buffering and signal emission to every round trip, which costs a multiple of
// the loopback latency. A QSocketNotifier still watches the socket between calls for pushes.

void RuntimeLink::forgetConnection()
{
    m_reader.clear();
    m_heartbeat.stop();
    m_runtimeState = 0;
    m_version = 0;
}

void RuntimeLink::newSession()
{
    endSession();
    m_handles.clear();
    m_notifies.clear();
    m_notifyByRemote.clear();
}

qint32 RuntimeLink::sendHello(quint16 version, const QElapsedTimer &started)
{
    Message hello;
    hello.type = MsgType::Hello;
    hello.version = m_helloVersion = version;
    hello.seq = m_helloSeq = nextSeq();
    return sendAll(encode(hello), started);
}

void RuntimeLink::greet()
{
    QElapsedTimer started;
    started.start();
    if (sendHello(Version, started) != Ok)
        m_connection.fail(NotConnected);
}

void RuntimeLink::applyHello(const Message &reply, bool announce)
{
    newSession();
    m_version = reply.version;
    m_runtimeState = reply.state;
    m_lastReceived.start();
    m_lastSent.start();
    m_heartbeat.start();
    m_connection.established();
    if (announce) {
        // A new connection has no handles on the runtime side: tell the owner to make them anew.
        Message state;
        state.type = MsgType::State;
        state.state = reply.state;
        state.runId = reply.runId;
        queuePush(state);
    }
}

void RuntimeLink::receive()
{
    if (!m_connection.watching())
        return;
    const bool open = receiveAvailable();
    std::optional<Message> matched;
    const bool handshaking = linkState() == LinkState::Connecting;
    if (!processFrames(handshaking ? m_helloSeq : 0, matched)) {
        m_connection.fail(ProtocolError);
        return;
    }
    if (handshaking && matched) {
        const Message reply = std::move(*matched);
        if (const quint16 older = greetAgain(reply, m_helloVersion)) {
            QElapsedTimer started;
            started.start();
            if (sendHello(older, started) != Ok || !open)
                m_connection.fail(NotConnected);
            return;
        }
        if (const qint32 c = helloCode(reply, m_helloVersion)) {
            m_connection.fail(c);
            return;
        }
        applyHello(reply, true);
        // Frames behind the reply belong to the new session.
        std::optional<Message> none;
        if (!processFrames(0, none)) {
            m_connection.fail(ProtocolError);
            return;
        }
    }
    if (!open)
        m_connection.fail(NotConnected);
}

void RuntimeLink::onHeartbeat()
{
    if (linkState() != LinkState::Connected || !m_connection.watching())
        return;
    if (m_lastReceived.elapsed() > DeadAfterMs) {
        m_connection.fail(Timeout, QStringLiteral("no sign of life for %1 s").arg(DeadAfterMs / 1000));
        return;
    }
    if (m_lastSent.elapsed() >= HeartbeatMs) {
        Message ping;
        ping.type = MsgType::Ping;
        ping.seq = nextSeq();
        const QByteArray frame = encode(ping);
        // A full send buffer already means trouble; the dead-peer check above will notice.
        if (::send(m_connection.fd(), frame.constData(), size_t(frame.size()), MSG_NOSIGNAL | MSG_DONTWAIT) >
            0)
            m_lastSent.restart();
    }
    m_heartbeat.start();
}

bool RuntimeLink::receiveAvailable()
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(m_connection.fd(), buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n > 0) {
            m_reader.append(buffer, n);
            m_lastReceived.restart();
            if (size_t(n) < sizeof(buffer))
                return true;
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

bool RuntimeLink::processFrames(quint32 matchSeq, std::optional<Message> &matched)
{
    QByteArray body;
    for (;;) {
        const FrameReader::Result r = m_reader.next(body);
        if (r == FrameReader::NeedMore)
            return true;
        if (r == FrameReader::Invalid)
            return false;
        std::optional<Message> msg = decode(body);
        if (!msg)
            return false;
        if (msg->type == MsgType::Notify || msg->type == MsgType::State) {
            if (msg->type == MsgType::State) {
                // The runtime drops every handle when its program starts.
                if (msg->state == StateRun)
                    newSession();
                m_runtimeState = msg->state;
            }
            queuePush(*msg);
            continue;
        }
        if (!msg->reply)
            return false;
        if (matchSeq != 0 && msg->seq == matchSeq) {
            matched = std::move(msg);
            // Stop here: what follows may depend on what the caller does with this reply.
            return true;
        }
        // Anything else is the answer to a heartbeat or to a call that already gave up.
    }
}

void RuntimeLink::queuePush(const Message &msg)
{
    if (msg.type == MsgType::State)
        queueStateChange(qint32(msg.state), qint32(msg.runId));
    else
        queueUpdate(msg.handle, toVariant(msg.value));
}

bool RuntimeLink::registration(quint32 key, qint32 &notifyHandle, void *&user) const
{
    // Pushes name the runtime's handle of the registration.
    const qint32 local = m_notifyByRemote.value(key, 0);
    const auto it = m_notifies.constFind(local);
    if (local == 0 || it == m_notifies.constEnd())
        return false;
    notifyHandle = local;
    user = it->user;
    return true;
}

qint32 RuntimeLink::sendAll(const QByteArray &frame, const QElapsedTimer &started)
{
    const char *data = frame.constData();
    qsizetype left = frame.size();
    while (left > 0) {
        const ssize_t n = ::send(m_connection.fd(), data, size_t(left), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            left -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{m_connection.fd(), POLLOUT, 0};
            const int w = ::poll(&p, 1, remainingMs(started, callTimeout()));
            if (w == 0)
                return Timeout;
            continue;
        }
        return NotConnected;
    }
    m_lastSent.restart();
    m_heartbeat.start();
    return Ok;
}

qint32 RuntimeLink::waitReply(quint32 seq, const QElapsedTimer &started, Message &reply, bool &open)
{
    open = true;
    for (;;) {
        std::optional<Message> matched;
        if (!processFrames(seq, matched))
            return ProtocolError;
        if (matched) {
            reply = std::move(*matched);
            return Ok;
        }
        if (!open)
            return NotConnected;
        pollfd p{m_connection.fd(), POLLIN, 0};
        const int n = ::poll(&p, 1, remainingMs(started, callTimeout()));
        if (n == 0)
            return Timeout;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return NotConnected;
        }
        open = receiveAvailable();
    }
}

qint32 RuntimeLink::ensureConnected()
{
    QElapsedTimer started;
    started.start();
    bool opened = false;
    qint32 rc = m_connection.connectIfIdle(callTimeout(), opened);
    if (rc != Ok || !opened)
        return rc;
    Message reply;
    bool open = true;
    for (quint16 version = Version; version != 0; version = greetAgain(reply, version)) {
        rc = sendHello(version, started);
        if (rc == Ok)
            rc = waitReply(m_helloSeq, started, reply, open);
        if (rc != Ok || !open)
            break;
    }
    if (rc == Ok)
        rc = helloCode(reply, m_helloVersion);
    if (rc != Ok || !open) {
        rc = rc != Ok ? rc : NotConnected;
        m_connection.fail(rc);
        return rc;
    }
    applyHello(reply, false);
    if (m_reader.buffered() > 0)
        QMetaObject::invokeMethod(this, &RuntimeLink::receive, Qt::QueuedConnection);
    return Ok;
}

qint32 RuntimeLink::transact(Message &request, Message &reply)
{
    const qint32 connected = ensureConnected();
    if (connected != Ok)
        return connected;
    QElapsedTimer started;
    started.start();
    request.seq = nextSeq();
    bool open = true;
    qint32 rc = sendAll(encode(request), started);
    if (rc == Ok)
        rc = waitReply(request.seq, started, reply, open);
    if (rc == Ok && reply.type != request.type)
        rc = ProtocolError;
    if (rc != Ok) {
        // After a time-out or bad data the stream cannot be trusted to line up with requests.
        m_connection.fail(rc);
        return rc;
    }
    if (!open) {
        m_connection.fail(NotConnected);
    } else if (m_reader.buffered() > 0) {
        // Frames behind the reply are handled once the caller has taken the reply in.
        QMetaObject::invokeMethod(this, &RuntimeLink::receive, Qt::QueuedConnection);
    }
    return Ok;
}
