#include "PrinterSim.h"

#include "common/Cp1252.h"

#include <QDir>
#include <QRegularExpression>
#include <QSaveFile>

#include <chrono>
#include <deque>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
const QByteArray kHeader = "Content-Length: ";
// A frame whose length is larger than this is taken as garbage, not waited for.
constexpr qint64 kMaxDocument = 64LL * 1024 * 1024;
// Characters of wire data shown in an event line.
constexpr int kPreviewChars = 80;
// After an orderly close the peer gets this long to close its side before the connection is dropped.
constexpr int kCloseGraceMs = 2000;
// A client connect that takes longer than this has failed.
constexpr int kConnectTimeoutMs = 10000;

QString peerOf(const QTcpSocket *socket)
{
    return QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
}

// Qt knows no lingering close; a zero linger time makes the close a reset (RST).
void setResetOnClose(qintptr descriptor)
{
    const linger l{1, 0};
    ::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_LINGER, &l, sizeof l);
}
} // namespace

// One connection's receive buffer, byte counts and the answer pieces waiting for their time.
struct PrinterSim::Connection : QObject {
    explicit Connection(QTcpSocket *s, const QString &p) : QObject(s), socket(s), peer(p)
    {
        timer.setSingleShot(true);
    }

    struct Piece {
        qint64 due;
        QByteArray data;
        QString event;
        std::function<void()> then;
    };

    QTcpSocket *socket;
    QString peer;
    QByteArray buffer;
    qint64 received = 0;
    qint64 sent = 0;
    bool closing = false; // closed on our side, draining until the peer closes too
    std::deque<Piece> out;
    qint64 busyUntil = 0;
    QTimer timer;
};

// Hands connections that are never to be read to the stand-in before Qt wraps them in a socket
// (a QTcpSocket reads whatever arrives into its own buffer).
class PrinterSim::Listener : public QTcpServer
{
public:
    explicit Listener(PrinterSim *sim) : QTcpServer(sim), m_sim(sim) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!m_sim->intercept(descriptor))
            QTcpServer::incomingConnection(descriptor);
    }

private:
    PrinterSim *m_sim;
};

PrinterSim::PrinterSim(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_listener(new Listener(this))
{
    m_clock.start();
    connect(m_listener, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_listener->nextPendingConnection())
            serve(s);
    });
    m_sendTimer.setSingleShot(false);
    m_connectTimer.setSingleShot(true);
    m_waitTimer.setSingleShot(true);
    connect(&m_sendTimer, &QTimer::timeout, this, &PrinterSim::clientSend);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        say(QStringLiteral("error connect timed out after %1 ms").arg(kConnectTimeoutMs));
        if (m_client)
            m_client->abort();
        clientFinish(1);
    });
    connect(&m_waitTimer, &QTimer::timeout, this, [this] { clientFinish(0); });
}

PrinterSim::~PrinterSim()
{
    // The sockets go after this object's own members: they must not report their closing then.
    for (QTcpSocket *socket : findChildren<QTcpSocket *>())
        socket->disconnect();
    for (const Held &h : m_held)
        ::close(h.fd);
}

bool PrinterSim::start(QString *error)
{
    if (!m_options.connectHost.isEmpty())
        return startClient(error);
    return openListener(error);
}

quint16 PrinterSim::port() const
{
    return m_port;
}

bool PrinterSim::setOptions(const Options &options, QString *error)
{
    const bool reopen = m_options.refuse != options.refuse || m_options.noRead != options.noRead ||
                        m_options.address != options.address;
    if (m_options.saveDir != options.saveDir)
        m_nextSave = 0;
    m_options = options;
    if (!m_options.noRead)
        releaseHeld();
    if (!reopen || !m_options.connectHost.isEmpty() ||
        (!m_listener->isListening() && m_holder.state() != QAbstractSocket::BoundState))
        return true;
    closeListener();
    return openListener(error);
}

void PrinterSim::closeListener()
{
    m_listener->close();
    m_holder.abort();
}

bool PrinterSim::openListener(QString *error)
{
    const quint16 wanted = m_port ? m_port : m_options.port;
    if (m_options.refuse) {
        // A bound socket that never listens keeps the port for us while the kernel refuses
        // every connect to it.
        if (!m_holder.bind(m_options.address, wanted, QAbstractSocket::ReuseAddressHint)) {
            if (error)
                *error = m_holder.errorString();
            return false;
        }
        m_port = m_holder.localPort();
        say(QStringLiteral("refusing port=%1").arg(m_port));
        return true;
    }
    if (!m_listener->listen(m_options.address, wanted)) {
        if (error)
            *error = m_listener->errorString();
        return false;
    }
    m_port = m_listener->serverPort();
    if (m_options.noRead) {
        // Connections inherit the listener's receive buffer. With the smallest one this side's
        // kernel takes about a kilobyte; the rest piles up in the peer's send buffer.
        const int size = 1;
        ::setsockopt(static_cast<int>(m_listener->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &size,
                     sizeof size);
    }
    say(QStringLiteral("listening port=%1%2").arg(m_port).arg(m_options.noRead ? " not reading" : ""));
    return true;
}

bool PrinterSim::intercept(qintptr descriptor)
{
    if (!m_options.noRead)
        return false;
    const int fd = static_cast<int>(descriptor);
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    QString peer = QStringLiteral("?");
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &length) == 0) {
        const QHostAddress host(reinterpret_cast<const sockaddr *>(&addr));
        const quint16 port = addr.ss_family == AF_INET6
                                 ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_port)
                                 : ntohs(reinterpret_cast<const sockaddr_in *>(&addr)->sin_port);
        peer = QStringLiteral("%1:%2").arg(host.toString()).arg(port);
    }
    pruneHeld();
    m_held.push_back({fd, peer});
    say(QStringLiteral("connect %1 not reading").arg(peer));
    return true;
}

void PrinterSim::pruneHeld()
{
    // Without reading, the only sign of a peer that gave up is a reset (or its close, once its
    // data got through); look for them whenever another peer arrives.
    std::erase_if(m_held, [this](const Held &h) {
        pollfd p{h.fd, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
            return false;
        say(QStringLiteral("disconnect %1").arg(h.peer));
        ::close(h.fd);
        return true;
    });
}

void PrinterSim::releaseHeld()
{
    std::vector<Held> held;
    held.swap(m_held);
    for (const Held &h : held) {
        auto *socket = new QTcpSocket(m_listener);
        if (!socket->setSocketDescriptor(h.fd)) {
            say(QStringLiteral("error %1 %2").arg(h.peer, socket->errorString()));
            ::close(h.fd);
            delete socket;
            continue;
        }
        serve(socket);
    }
}

QList<QByteArray> PrinterSim::takeRequests(QByteArray &buffer)
{
    QList<QByteArray> out;
    while (!buffer.isEmpty()) {
        if (!buffer.startsWith(kHeader)) {
            // A plain request: everything up to the next frame (or all of it).
            const qsizetype next = buffer.indexOf(kHeader);
            const qsizetype end = next < 0 ? buffer.size() : next;
            out << buffer.left(end);
            buffer.remove(0, end);
            continue;
        }
        const qsizetype blank = buffer.indexOf("\n\n", kHeader.size());
        if (blank < 0)
            break; // header not complete yet
        bool ok = false;
        const qint64 length = buffer.mid(kHeader.size(), blank - kHeader.size()).trimmed().toLongLong(&ok);
        if (!ok || length < 0 || length > kMaxDocument) {
            out << buffer; // not a valid frame: answer it as it stands
            buffer.clear();
            break;
        }
        const qsizetype bodyStart = blank + 2;
        if (buffer.size() - bodyStart < length)
            break; // document not complete yet
        out << buffer.mid(bodyStart, length);
        buffer.remove(0, bodyStart + length);
    }
    return out;
}

QString PrinterSim::preview(const QByteArray &data)
{
    QString out;
    qsizetype i = 0;
    for (; i < data.size() && out.size() < kPreviewChars; ++i) {
        const QChar ch = cp1252::decode(data.constData() + i, 1).at(0);
        const char16_t c = ch.unicode();
        if (c == '\n')
            out += QLatin1String("\\n");
        else if (c == '\r')
            out += QLatin1String("\\r");
        else if (c == '\t')
            out += QLatin1String("\\t");
        else if (c == '\\')
            out += QLatin1String("\\\\");
        else if (c < 0x20 || (c >= 0x7F && c < 0xA0))
            out += QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'));
        else
            out += ch;
    }
    if (i < data.size())
        out += QLatin1String("...");
    return out;
}

QByteArray PrinterSim::unescape(const QString &text)
{
    QByteArray out;
    QString plain;
    const auto isHex = [](QChar h) {
        const QChar l = h.toLower();
        return (l >= '0' && l <= '9') || (l >= 'a' && l <= 'f');
    };
    const auto flush = [&] {
        out += cp1252::encode(plain);
        plain.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            plain += c;
            continue;
        }
        const QChar n = text[i + 1];
        char byte = 0;
        int used = 1;
        if (n == 'n')
            byte = '\n';
        else if (n == 'r')
            byte = '\r';
        else if (n == 't')
            byte = '\t';
        else if (n == '0')
            byte = '\0';
        else if (n == '\\')
            byte = '\\';
        else if (n == 'x' && i + 3 < text.size()) {
            if (!isHex(text[i + 2]) || !isHex(text[i + 3])) {
                plain += c;
                continue;
            }
            byte = static_cast<char>(text.mid(i + 2, 2).toInt(nullptr, 16));
            used = 3;
        } else {
            plain += c; // not an escape: the backslash stands for itself
            continue;
        }
        flush();
        out += byte;
        i += used;
    }
    flush();
    return out;
}

void PrinterSim::say(const QString &line)
{
    if (onLine)
        onLine(line);
}

void PrinterSim::serve(QTcpSocket *socket)
{
    auto *c = new Connection(socket, peerOf(socket));
    // Each answer piece leaves as its own segment instead of waiting for the previous one's ACK.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    say(QStringLiteral("connect %1").arg(c->peer));
    connect(&c->timer, &QTimer::timeout, c, [this, c] { sendDue(c); });
    connect(socket, &QTcpSocket::disconnected, c, [this, c] {
        say(QStringLiteral("disconnect %1 received=%2 sent=%3").arg(c->peer).arg(c->received).arg(c->sent));
        c->out.clear();
        c->socket->deleteLater();
    });
    connect(socket, &QTcpSocket::errorOccurred, c, [this, c](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError)
            say(QStringLiteral("error %1 %2").arg(c->peer, c->socket->errorString()));
    });
    connect(socket, &QTcpSocket::readyRead, c, [this, c] { onData(c); });
    connect(socket, &QTcpSocket::bytesWritten, c, [c](qint64 n) { c->sent += n; });

    if (m_options.resetAfterBytes == 0)
        cut(c, true);
    else if (m_options.closeAfterBytes == 0)
        cut(c, false);
    else if (socket->bytesAvailable() > 0)
        onData(c);
}

void PrinterSim::onData(Connection *c)
{
    QByteArray chunk = c->socket->readAll();
    if (c->closing)
        return; // draining after our close

    // The nearest of the two limits ends the connection once it is reached.
    qint64 limit = -1;
    bool reset = false;
    if (m_options.closeAfterBytes >= 0)
        limit = m_options.closeAfterBytes;
    if (m_options.resetAfterBytes >= 0 && (limit < 0 || m_options.resetAfterBytes <= limit)) {
        limit = m_options.resetAfterBytes;
        reset = true;
    }
    const bool cutNow = limit >= 0 && c->received + chunk.size() >= limit;
    if (cutNow)
        chunk.truncate(qMax<qint64>(0, limit - c->received));
    c->received += chunk.size();
    c->buffer += chunk;

    for (const QByteArray &body : takeRequests(c->buffer)) {
        say(QStringLiteral("request bytes=%1 text=%2").arg(body.size()).arg(preview(body)));
        save(body);
        emit documentReceived(body);
        if (m_options.silent || cutNow)
            continue;
        QByteArray reply = m_options.reply;
        reply.replace("%n", QByteArray::number(body.size()));
        if (reply.contains("%t"))
            reply.replace("%t",
                          QByteArray::number(qint64(std::chrono::duration_cast<std::chrono::microseconds>(
                                                        std::chrono::steady_clock::now().time_since_epoch())
                                                        .count())));
        reply.replace("%r", body);
        std::function<void()> then;
        if (m_options.closeAfterReply)
            then = [socket = QPointer<QTcpSocket>(c->socket)] {
                if (socket)
                    socket->disconnectFromHost();
            };
        queueOut(c, reply, m_options.delayMs, QStringLiteral("reply"), std::move(then));
    }
    if (cutNow)
        cut(c, reset);
}

void PrinterSim::cut(Connection *c, bool reset)
{
    c->out.clear();
    c->timer.stop();
    if (reset) {
        say(QStringLiteral("reset %1 after received=%2").arg(c->peer).arg(c->received));
        setResetOnClose(c->socket->socketDescriptor());
        c->socket->abort();
        return;
    }
    say(QStringLiteral("close %1 after received=%2").arg(c->peer).arg(c->received));
    c->closing = true;
    c->socket->flush();
    // Qt closes both directions at once, and a close with unread data is a reset on Linux: shut
    // down our sending side only and take (and drop) whatever the peer still sends until it closes.
    ::shutdown(static_cast<int>(c->socket->socketDescriptor()), SHUT_WR);
    QTimer::singleShot(kCloseGraceMs, c, [c] { c->socket->abort(); });
}

void PrinterSim::save(const QByteArray &body)
{
    if (m_options.saveDir.isEmpty())
        return;
    QDir dir(m_options.saveDir);
    if (m_nextSave == 0) {
        // Numbering goes on after the documents already in the folder.
        if (!dir.mkpath(QStringLiteral(".")))
            say(QStringLiteral("error cannot create folder %1").arg(dir.absolutePath()));
        static const QRegularExpression number(QStringLiteral("^doc-(\\d+)\\.dat$"));
        int highest = 0;
        for (const QString &name : dir.entryList({QStringLiteral("doc-*.dat")}, QDir::Files)) {
            const QRegularExpressionMatch m = number.match(name);
            if (m.hasMatch())
                highest = qMax(highest, m.captured(1).toInt());
        }
        m_nextSave = highest + 1;
    }
    const QString path =
        dir.absoluteFilePath(QStringLiteral("doc-%1.dat").arg(m_nextSave, 5, 10, QLatin1Char('0')));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit()) {
        say(QStringLiteral("error cannot save %1: %2").arg(path, file.errorString()));
        return;
    }
    ++m_nextSave;
    say(QStringLiteral("saved %1 bytes=%2").arg(path).arg(body.size()));
}

void PrinterSim::queueOut(Connection *c, const QByteArray &data, int delayMs, const QString &event,
                          std::function<void()> then)
{
    const qint64 pieces = qBound(qint64(1), qint64(m_options.pieces), qMax(qint64(1), qint64(data.size())));
    const qint64 gap = qMax(0, m_options.pieceGapMs);
    // Answers leave in order: a new one starts when the previous one's last piece is out.
    const qint64 start = qMax(m_clock.elapsed() + qMax(0, delayMs), c->busyUntil);
    const qint64 base = data.size() / pieces;
    const qint64 extra = data.size() % pieces;
    qint64 offset = 0;
    for (qint64 i = 0; i < pieces; ++i) {
        const qint64 size = base + (i < extra ? 1 : 0);
        Connection::Piece piece{
            start + i * gap,
            data.mid(offset, size),
            pieces > 1 ? QStringLiteral("%1 piece=%2/%3").arg(event).arg(i + 1).arg(pieces) : event,
            {}};
        c->out.push_back(std::move(piece));
        offset += size;
    }
    // There is at least one piece; the last one carries what follows the answer.
    c->out.back().then = std::move(then);
    c->busyUntil = start + (pieces - 1) * gap;
    if (!c->timer.isActive())
        sendDue(c);
}

void PrinterSim::sendDue(Connection *c)
{
    const qint64 now = m_clock.elapsed();
    while (!c->out.empty() && c->out.front().due <= now) {
        Connection::Piece piece = std::move(c->out.front());
        c->out.pop_front();
        if (c->socket->state() != QAbstractSocket::ConnectedState)
            continue;
        c->socket->write(piece.data);
        say(QStringLiteral("%1 bytes=%2 text=%3")
                .arg(piece.event)
                .arg(piece.data.size())
                .arg(preview(piece.data)));
        if (piece.then)
            piece.then();
    }
    if (c->out.empty())
        c->timer.stop();
    else
        c->timer.start(static_cast<int>(qMax<qint64>(0, c->out.front().due - now)));
}

bool PrinterSim::startClient(QString *error)
{
    if (m_client) {
        if (error)
            *error = QStringLiteral("already started");
        return false;
    }
    m_client = new QTcpSocket(this);
    const QString target = QStringLiteral("%1:%2").arg(m_options.connectHost).arg(m_options.connectPort);
    m_clientConn = new Connection(m_client, target);
    Connection *c = m_clientConn;
    connect(&c->timer, &QTimer::timeout, c, [this, c] { sendDue(c); });
    connect(m_client, &QTcpSocket::bytesWritten, c, [c](qint64 n) { c->sent += n; });
    connect(m_client, &QTcpSocket::connected, this, [this] {
        m_connectTimer.stop();
        m_connected = true;
        m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        say(QStringLiteral("connect %1 local port=%2").arg(peerOf(m_client)).arg(m_client->localPort()));
        if (m_options.send.isEmpty()) {
            if (m_options.waitMs >= 0)
                m_waitTimer.start(m_options.waitMs);
            return;
        }
        clientSend();
        if (m_options.count != 1 && !m_finishing)
            m_sendTimer.start(qMax(0, m_options.everyMs));
    });
    connect(m_client, &QTcpSocket::readyRead, this, [this, c] {
        const QByteArray data = m_client->readAll();
        c->received += data.size();
        say(QStringLiteral("answer bytes=%1 text=%2").arg(data.size()).arg(preview(data)));
        emit answerReceived(data);
    });
    connect(m_client, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError)
            say(QStringLiteral("error %1").arg(m_client->errorString()));
        if (!m_connected)
            clientFinish(1);
    });
    connect(m_client, &QTcpSocket::disconnected, this, [this, c] {
        say(QStringLiteral("disconnect %1 received=%2 sent=%3").arg(c->peer).arg(c->received).arg(c->sent));
        if (!m_finishing) {
            // The peer ended it: fine once everything planned went out.
            m_finishing = true;
            const bool planned = !m_options.send.isEmpty() && m_options.count > 0;
            const bool allSent =
                m_sends >= m_options.count && c->sent >= qint64(m_options.count) * m_options.send.size();
            m_exitCode = planned && !allSent ? 1 : 0;
        }
        clientFinished();
    });

    say(QStringLiteral("connecting %1").arg(target));
    m_connectTimer.start(kConnectTimeoutMs);
    // The name lookup runs asynchronously inside the socket.
    m_client->connectToHost(m_options.connectHost, m_options.connectPort);
    return true;
}

void PrinterSim::clientSend()
{
    if (!m_client || m_finishing || m_client->state() != QAbstractSocket::ConnectedState)
        return;
    ++m_sends;
    const bool last = m_options.count > 0 && m_sends >= m_options.count;
    if (last)
        m_sendTimer.stop();
    std::function<void()> then;
    if (last && m_options.waitMs >= 0)
        then = [this] { m_waitTimer.start(m_options.waitMs); };
    const QString event =
        m_options.count == 1
            ? QStringLiteral("send")
            : QStringLiteral("send %1/%2")
                  .arg(m_sends)
                  .arg(m_options.count > 0 ? QString::number(m_options.count) : QStringLiteral("-"));
    queueOut(m_clientConn, m_options.send, 0, event, std::move(then));
}

void PrinterSim::clientFinish(int exitCode)
{
    if (m_finishing)
        return;
    m_finishing = true;
    m_exitCode = exitCode;
    m_sendTimer.stop();
    m_waitTimer.stop();
    m_connectTimer.stop();
    if (m_client && m_client->state() != QAbstractSocket::UnconnectedState) {
        if (m_client->bytesToWrite() > 0) {
            // The peer has not taken it all in time: say so and give up on the rest.
            say(QStringLiteral("error %1 bytes not sent").arg(m_client->bytesToWrite()));
            m_exitCode = 1;
            m_client->abort();
        } else {
            m_client->disconnectFromHost();
        }
        if (m_client->state() != QAbstractSocket::UnconnectedState)
            return; // the disconnected handler finishes
    }
    clientFinished();
}

void PrinterSim::clientFinished()
{
    if (m_finishedEmitted)
        return;
    m_finishedEmitted = true;
    m_sendTimer.stop();
    m_waitTimer.stop();
    m_connectTimer.stop();
    say(QStringLiteral("done exit=%1").arg(m_exitCode));
    emit finished(m_exitCode);
}
