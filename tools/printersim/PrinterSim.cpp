#include "PrinterSim.h"

#include "common/Cp1252.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
const QByteArray kHeader = "Content-Length: ";
// A frame whose length is larger than this is taken as garbage, not waited for.
constexpr qint64 kMaxDocument = 64 * 1024 * 1024;
} // namespace

PrinterSim::PrinterSim(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server.nextPendingConnection())
            serve(s);
    });
}

bool PrinterSim::start(QString *error)
{
    if (m_server.listen(QHostAddress::LocalHost, m_options.port))
        return true;
    if (error)
        *error = m_server.errorString();
    return false;
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

void PrinterSim::say(const QString &line)
{
    if (onLine)
        onLine(line);
}

void PrinterSim::serve(QTcpSocket *socket)
{
    const QString peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    say(QStringLiteral("connect %1").arg(peer));
    auto *buffer = new QByteArray;
    connect(socket, &QObject::destroyed, this, [buffer] { delete buffer; });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket, peer] {
        say(QStringLiteral("disconnect %1").arg(peer));
        socket->deleteLater();
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        for (const QByteArray &body : takeRequests(*buffer)) {
            const QString text = cp1252::decode(body);
            say(QStringLiteral("request bytes=%1 text=%2").arg(body.size()).arg(text.left(200).simplified()));
            if (m_options.silent)
                continue;
            QByteArray reply = m_options.reply;
            reply.replace("%n", QByteArray::number(body.size()));
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(m_options.delayMs, this, [this, guard, reply] {
                if (!guard || guard->state() != QAbstractSocket::ConnectedState)
                    return;
                guard->write(reply);
                say(QStringLiteral("reply %1").arg(cp1252::decode(reply)));
                if (m_options.closeAfterReply)
                    guard->disconnectFromHost();
            });
        }
    });
}
