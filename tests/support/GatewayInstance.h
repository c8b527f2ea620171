#pragma once

#include "GatewayProcess.h"
#include "PlcSimProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

// One instance folder (configuration, instance options) and the gateway running in it without a
// window, for tests against the real program; what it wrote to its event log.
struct GatewayInstance {
    QTemporaryDir dir;
    QString home = dir.filePath(QStringLiteral("Server"));
    InstanceConfig config;
    QProcess gateway;

    explicit GatewayInstance(const QByteArray &module = "LS")
    {
        QDir().mkpath(home + QStringLiteral("/Labels"));
        // The folder the configuration's ServerPath names: an instance that "--check" passes.
        QDir().mkpath(dir.filePath(QStringLiteral("Data")));
        config.modul = module;
    }
    ~GatewayInstance() { kill(); }
    bool writeConfig() const { return write(QStringLiteral("/Kavetta.zelb"), config.text()); }
    // The instance options file beside the configuration (Kavetta.ini).
    bool writeOptions(const QByteArray &ini) const { return write(QStringLiteral("/Kavetta.ini"), ini); }
    bool write(const QString &name, const QByteArray &content) const
    {
        QFile file(home + name);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    // extra: variables beside those of headlessEnvironment.
    void start(const QProcessEnvironment &extra = {}, const QStringList &args = {})
    {
        QProcessEnvironment env = headlessEnvironment(dir.path(), home);
        env.insert(extra);
        startHeadless(gateway, env, args);
    }
    // SIGTERM: the normal unload, ending with status 0.
    bool stop()
    {
        signal(SIGTERM);
        return gateway.waitForFinished(10000) && gateway.exitCode() == 0;
    }
    void signal(int number) const { ::kill(pid_t(gateway.processId()), number); }
    void kill()
    {
        if (gateway.state() != QProcess::NotRunning) {
            gateway.kill();
            gateway.waitForFinished();
        }
    }
    // The messages of the event log entries that contain the text, in order.
    QStringList entries(const QString &containing = {}) const
    {
        return eventLogMessages(dir.filePath(QStringLiteral("events.log"))).filter(containing);
    }
};

// The printer stand-in with these arguments on a port of its own; its port, 0 when it did not
// start.
inline quint16 startPrinter(QProcess &printer, const QStringList &args)
{
    printer.start(QStringLiteral(KAVETTA_BINARY_DIR "/tools/printersim/printersim"),
                  QStringList{QStringLiteral("--port"), QStringLiteral("0")} + args);
    if (!printer.waitForReadyRead(5000))
        return 0;
    return QRegularExpression(QStringLiteral("port=(\\d+)"))
        .match(QString::fromLatin1(printer.readLine()))
        .captured(1)
        .toUShort();
}

// A request of the PLC of module LS; not waiting long for the answer.
inline void plcRequest(const PlcSimProcess &plc, const QString &data,
                       const QString &module = QStringLiteral("LS"))
{
    QStringList out;
    PlcSimProcess::run({QStringLiteral("request"), QStringLiteral("--port"), plc.portText(),
                        QStringLiteral("--module"), module, QStringLiteral("--data"), data,
                        QStringLiteral("--timeout-ms"), QStringLiteral("300")},
                       out);
}
