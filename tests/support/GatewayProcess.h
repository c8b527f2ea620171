#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A TCP port on the loopback address that nobody listens on right now.
quint16 freePort();

// The configuration file of one instance for tests that run the real program: the 15 records
// with the fields a test usually varies.
struct InstanceConfig {
    QByteArray modul = "Test";
    quint16 plcPort = 0;    // 0: no PLC target
    quint16 remotePort = 0; // the peer (client) or the listening port (server role)
    bool server = false;
    bool staticConnection = true;
    int status = 1;
    QByteArray timeout = "10";

    QByteArray text() const;
};

// The environment of the program without a window in its own instance folder: KAVETTA_HOME, the
// event log file, the options store and the runtime folder all under root; no service manager.
QProcessEnvironment headlessEnvironment(const QString &root, const QString &home);
// args: the program's arguments, e.g. a configuration file other than the default one.
void startHeadless(QProcess &gateway, const QProcessEnvironment &environment, const QStringList &args = {});
// The messages of the entries in an event log file (the text between "<Msg>Kavetta / module / "
// and "</Msg>"), in order.
QStringList eventLogMessages(const QString &file);
inline void startHeadless(QProcess &gateway, const QString &root, const QString &home)
{
    startHeadless(gateway, headlessEnvironment(root, home));
}
