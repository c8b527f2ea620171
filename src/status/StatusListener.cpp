#include "status/StatusListener.h"

#include "status/RequestBounds.h"

#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace
{

QByteArray refusal(const char *status)
{
    return QByteArray("HTTP/1.1 ") + status +
           "\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
           "Connection: close\r\n\r\n";
}

// Watches one connection for the listener; it lives and dies with its socket.
class ConnectionGuard : public QObject
{
public:
    ConnectionGuard(QTcpSocket *socket, const StatusLimits &limits, std::shared_ptr<StatusRefusals> refusals,
                    std::shared_ptr<int> open)
        : QObject(socket), m_socket(socket), m_limits(limits),
          m_bounds(limits.maxHeadBytes, limits.maxBodyBytes), m_refusals(std::move(refusals)),
          m_open(std::move(open))
    {
        ++*m_open;
        // Qt takes no more from the kernel than a request may have: what a client sends beyond it
        // waits in the kernel's buffers, not in the gateway's memory.
        socket->setReadBufferSize(limits.maxHeadBytes + limits.maxBodyBytes + 4096);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &ConnectionGuard::timedOut);
        // Before the HTTP server's own handler: it is connected once the socket is handed on.
        connect(socket, &QTcpSocket::readyRead, this, &ConnectionGuard::readyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (!m_closing && !m_bounds.inRequest())
                m_timer.start(m_limits.idleMs);
        });
        m_timer.start(limits.idleMs);
    }
    ~ConnectionGuard() override { --*m_open; }

private:
    void readyRead()
    {
        if (m_closing) {
            // Nothing more is read for the HTTP server once the connection is refused.
            m_socket->skip(m_socket->bytesAvailable());
            return;
        }
        const bool wasInRequest = m_bounds.inRequest();
        const qsizetype before = m_bounds.requests();
        switch (m_bounds.feed(m_socket->peek(m_socket->bytesAvailable()))) {
        case RequestBounds::Verdict::HeadTooLarge:
            return refuse(StatusRefusals::Head, "431 Request Header Fields Too Large");
        case RequestBounds::Verdict::BodyTooLarge:
            return refuse(StatusRefusals::Body, "413 Content Too Large");
        case RequestBounds::Verdict::LengthRequired:
            return refuse(StatusRefusals::Body, "411 Length Required");
        case RequestBounds::Verdict::Ok:
            break;
        }
        if (m_socket->bytesToWrite() > m_limits.maxUnreadAnswerBytes) {
            // A client that sends requests and reads none of the answers.
            ++m_refusals->counts[StatusRefusals::Time];
            m_closing = true;
            m_socket->abort();
            return;
        }
        // The time a request may take runs from its first byte, not from its latest one.
        if (m_bounds.inRequest() && (!wasInRequest || m_bounds.requests() != before))
            m_timer.start(m_limits.halfSentMs);
        else if (!m_bounds.inRequest())
            m_timer.start(m_limits.idleMs);
    }

    void timedOut()
    {
        if (m_closing) {
            m_socket->abort(); // the client did not take the refusal in time
            return;
        }
        if (m_bounds.inRequest())
            return refuse(StatusRefusals::Time, "408 Request Timeout");
        ++m_refusals->counts[StatusRefusals::Idle];
        m_closing = true;
        m_socket->disconnectFromHost();
        m_timer.start(m_limits.halfSentMs);
    }

    void refuse(StatusRefusals::Reason reason, const char *status)
    {
        ++m_refusals->counts[reason];
        m_closing = true;
        m_socket->skip(m_socket->bytesAvailable());
        m_socket->write(refusal(status));
        m_socket->disconnectFromHost();
        m_timer.start(m_limits.halfSentMs);
    }

    QTcpSocket *m_socket;
    const StatusLimits m_limits;
    RequestBounds m_bounds;
    std::shared_ptr<StatusRefusals> m_refusals;
    std::shared_ptr<int> m_open;
    QTimer m_timer;
    bool m_closing = false;
};

} // namespace

const char *StatusRefusals::name(int reason)
{
    static const char *const names[Count] = {"connections", "head", "body", "time", "idle"};
    return reason >= 0 && reason < Count ? names[reason] : "";
}

quint64 StatusRefusals::total() const
{
    quint64 sum = 0;
    for (quint64 c : counts)
        sum += c;
    return sum;
}

StatusListener::StatusListener(const StatusLimits &limits, std::shared_ptr<StatusRefusals> refusals,
                               QObject *parent)
    : QTcpServer(parent), m_limits(limits), m_refusals(std::move(refusals))
{
    // Out of descriptors (or another resource): the listener would be woken for the same
    // waiting connection again and again. It pauses, and the connection waits in the kernel.
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        pauseAccepting();
        QTimer::singleShot(1000, this, &QTcpServer::resumeAccepting);
    });
}

StatusListener::~StatusListener() = default;

void StatusListener::incomingConnection(qintptr descriptor)
{
    if (*m_open >= m_limits.maxConnections) {
        static const QByteArray busy = refusal("503 Service Unavailable");
        // The socket is new and its send buffer empty: the short answer fits without waiting.
        (void)::send(int(descriptor), busy.constData(), size_t(busy.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        ::close(int(descriptor));
        ++m_refusals->counts[StatusRefusals::Connections];
        return;
    }
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        delete socket;
        return;
    }
    new ConnectionGuard(socket, m_limits, m_refusals, m_open);
    addPendingConnection(socket);
}
