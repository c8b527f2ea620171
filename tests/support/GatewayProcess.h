#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>

// The configuration file of one instance for tests that run the real program: the 15 records
// with the fields a test usually varies.
struct InstanceConfig {
    QByteArray modul = "Test";
    quint16 plcPort = 0;     // 0: no PLC target
    quint16 remotePort = 0;  // the peer (client) or the listening port (server role)
    bool server = false;
    bool staticConnection = true;
    int status = 1;

    QByteArray text() const;
};

// Starts the program without a window in its own instance folder: KAVETTA_HOME, the event log
// file and the options store all under root.
void startHeadless(QProcess &gateway, const QString &root, const QString &home);
