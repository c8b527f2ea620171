#include "common/InstanceView.h"

#include <QFileInfo>
#include <QStringList>

QString InstanceView::peerTarget() const
{
    return server ? QStringLiteral("port ") + socketPort : remoteHost + QLatin1Char(':') + socketPort;
}

QVariantMap managerStatus(const InstanceView &view)
{
    const InstanceView::Plc &p = view.plc;
    return QVariantMap{
        {QStringLiteral("plc"),
         p.used ? p.state + QStringLiteral(" (") + p.target + QLatin1Char(')') : QStringLiteral("not used")},
        {QStringLiteral("peer"),
         view.socketStateText + QStringLiteral(" (") + view.peerTarget() + QLatin1Char(')')},
        {QStringLiteral("pending"), int(view.pending)},
        {QStringLiteral("lastError"), view.lastError},
        {QStringLiteral("uptimeSec"), view.uptimeSec},
        {QStringLiteral("state"), view.state},
    };
}

QString startSummary(const InstanceView &view)
{
    QStringList parts;
    parts << QStringLiteral("Start %1 %2: module %3")
                 .arg(QStringLiteral("Kavetta"), view.version,
                      view.module.isEmpty() ? QStringLiteral("(none)") : view.module);
    if (view.server) {
        parts << QStringLiteral("TCP server on port %1 (the PLC link is not used)").arg(view.socketPort);
    } else {
        const InstanceView::Plc &p = view.plc;
        parts << (p.kind == QLatin1String("modbus")
                      ? QStringLiteral("PLC link Modbus/TCP to %1 (map %2)").arg(p.target, p.mapFile)
                      : QStringLiteral("PLC link to the PLC runtime at %1").arg(p.target));
        parts << QStringLiteral("TCP client to %1, %2")
                     .arg(view.peerTarget(), view.staticConnection
                                                 ? QStringLiteral("static connection")
                                                 : QStringLiteral("one connection per request"));
    }
    parts << QStringLiteral("log folder %1").arg(QFileInfo(view.logFile).absolutePath());
    const QHostAddress &address = view.statusAddress;
    parts << (view.statusPort != 0
                  ? QStringLiteral("status endpoint http://%1/")
                        .arg(address.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(view.statusPort)
                                 : QStringLiteral("%1:%2").arg(address.toString()).arg(view.statusPort))
                  : QStringLiteral("no status endpoint"));
    return parts.join(QStringLiteral("; "));
}
