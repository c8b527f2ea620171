#include "GatewayProcess.h"

#include "logging/EventLog.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpServer>

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray InstanceConfig::text() const
{
    const auto quoted = [](const QByteArray &key, const QByteArray &value) {
        return '"' + key + "\",\"" + value + '"';
    };
    const QList<QByteArray> records{quoted("ServerPath", "~apppath~/Data"),
                                    quoted("Netid", plcPort ? "127.0.0.1" : ""),
                                    quoted("Port", plcPort ? QByteArray::number(plcPort) : ""),
                                    quoted("Modulname", modul),
                                    quoted("Maschinenname", "Test line"),
                                    "\"XML-Export\",0",
                                    quoted("RemoteHost", "127.0.0.1"),
                                    quoted("RemotePort", QByteArray::number(remotePort)),
                                    QByteArray("\"ServerTest\",") + (server ? '1' : '0'),
                                    "\"Status\"," + QByteArray::number(status),
                                    quoted("Timeout", timeout),
                                    QByteArray("\"StaticConnect\",") + (staticConnection ? '1' : '0'),
                                    "\"ResetOnError\",1",
                                    "\"UTF8Codierung\",0",
                                    "\"AutoConnectOff\",#FALSE#"};
    QByteArray out;
    for (const QByteArray &r : records)
        out += r + "\r\n";
    return out;
}

QProcessEnvironment headlessEnvironment(const QString &root, const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KAVETTA_HEADLESS"), QStringLiteral("1"));
    env.insert(QStringLiteral("KAVETTA_HOME"), home);
    env.insert(QStringLiteral("KAVETTA_EVENTLOG"), root + QStringLiteral("/events.log"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/xdg-home"));
    env.insert(QStringLiteral("XDG_CONFIG_DIRS"), root + QStringLiteral("/xdg"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root);
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("NOTIFY_SOCKET"));
    return env;
}

void startHeadless(QProcess &gateway, const QProcessEnvironment &env, const QStringList &args)
{
    gateway.setProcessEnvironment(env);
    gateway.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    gateway.start(QStringLiteral(KAVETTA_BINARY_DIR "/src/kavetta"), args);
}

QStringList eventLogMessages(const QString &file)
{
    // The message of each entry (it may span lines; a long one is cut with the entry).
    static const QRegularExpression message(
        QStringLiteral("<Msg>Kavetta / [^/]* / (.*?)(?:</Msg>  <Date>|$)"),
        QRegularExpression::DotMatchesEverythingOption);
    QFile f(file);
    QStringList messages;
    if (!f.open(QIODevice::ReadOnly))
        return messages;
    for (QString entry; !f.atEnd() && EventLog::decodeFileLine(f.readLine(), nullptr, &entry);)
        messages << message.match(entry).captured(1);
    return messages;
}
