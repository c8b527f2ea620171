#include "ServiceInstances.h"

#include "config/InstanceOptions.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>

namespace
{

// The body of GET /status, empty when nothing answers in time.
QByteArray fetchStatus(const QHostAddress &address, quint16 port, int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write("GET /status HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    static const QRegularExpression length(QStringLiteral("\r\ncontent-length: *(\\d+)"),
                                           QRegularExpression::CaseInsensitiveOption);
    QByteArray all;
    while (socket.waitForReadyRead(timeoutMs)) {
        all += socket.readAll();
        const qsizetype split = all.indexOf("\r\n\r\n");
        const auto m = length.match(QString::fromLatin1(all.left(split)));
        if (split >= 0 && m.hasMatch() && all.size() >= split + 4 + m.captured(1).toInt())
            return all.mid(split + 4, m.captured(1).toInt());
    }
    return {};
}

QString describe(const QJsonObject &st)
{
    const QJsonObject plc = st.value(QLatin1String("plc")).toObject();
    const QJsonObject peer = st.value(QLatin1String("peer")).toObject();
    QString plcText = plc.value(QLatin1String("used")).toBool()
                          ? plc.value(QLatin1String("state")).toString() + QStringLiteral(" (") +
                                plc.value(QLatin1String("target")).toString() + QLatin1Char(')')
                          : QStringLiteral("not used");
    if (plc.value(QLatin1String("used")).toBool() && !plc.value(QLatin1String("up")).toBool())
        plcText += QStringLiteral(", variables not reachable");
    QString last = st.value(QLatin1String("lastError")).toString();
    last.replace(QRegularExpression(QStringLiteral("\\s*[\\r\\n]+\\s*")), QStringLiteral(" "));
    return QStringLiteral("module %1, PLC %2, printer %3 (%4), pending %5, up %6 s, last status line: %7")
        .arg(st.value(QLatin1String("module")).toString(), plcText,
             peer.value(QLatin1String("socketStateText")).toString(),
             peer.value(QLatin1String("target")).toString())
        .arg(st.value(QLatin1String("pending")).toInt())
        .arg(st.value(QLatin1String("uptimeSec")).toInteger())
        .arg(last.isEmpty() ? QStringLiteral("none") : last);
}

} // namespace

QStringList serviceInstanceLines(const QString &root, int timeoutMs)
{
    QStringList lines;
    const QFileInfoList folders = QDir(root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &folder : folders) {
        const QString config = folder.filePath() + QStringLiteral("/Kavetta.zelb");
        if (!QFileInfo(config).isFile())
            continue;
        const QString name = folder.fileName();
        const StatusOptions status = InstanceOptions::load(config).status;
        if (status.port == 0) {
            lines << QStringLiteral(
                         "%1: state not known: no status endpoint (set [status] port in %2/Kavetta.ini)")
                         .arg(name, folder.filePath());
            continue;
        }
        // An endpoint on every address answers on this machine's loopback too.
        const bool any = status.address == QHostAddress(QHostAddress::Any) ||
                         status.address == QHostAddress(QHostAddress::AnyIPv6) ||
                         status.address == QHostAddress(QHostAddress::AnyIPv4);
        const QHostAddress address = any ? QHostAddress(QHostAddress::LocalHost) : status.address;
        const QJsonObject st = QJsonDocument::fromJson(fetchStatus(address, status.port, timeoutMs)).object();
        lines << (st.isEmpty()
                      ? QStringLiteral("%1: not running (nothing answers at its status endpoint %2 port %3)")
                            .arg(name, address.toString())
                            .arg(status.port)
                      : name + QStringLiteral(": ") + describe(st));
    }
    return lines;
}
