#include "GatewayProcess.h"
#include "UiFakes.h"
#include "common/Cp1252.h"
#include "core/GatewayCore.h"
#include "core/HeadlessDesktop.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace
{

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray configuration(quint16 port)
{
    InstanceConfig config;
    config.modul = "Svc";
    config.remotePort = port;
    config.server = true;
    return config.text();
}

bool accepts(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(300);
}

} // namespace

class TestGatewayCore : public QObject
{
    Q_OBJECT

private slots:
    // The whole cycle runs with no window object: load, the timers, data arrival, unload.
    void runsWithoutAnyWindow()
    {
        QTemporaryDir dir;
        UiRig rig(dir.path());
        rig.desktop.tray = false;
        GatewayCore core(rig.state, rig.coreParts());
        core.load();
        QVERIFY(core.isLoaded() && !core.programEnded());
        QCOMPARE(rig.journal.last(), "plc.connect");
        QTRY_COMPARE(rig.state.lblState, "Port Closed");

        // Each data arrival is one item for the response cycle, whose timer rests again once
        // nothing waits.
        rig.socket.incoming = "answer";
        emit rig.socket.dataArrival(6);
        QCOMPARE(rig.state.receiveQueue, QStringList{"answer"});
        QVERIFY(core.responseTimer()->isActive());
        QCOMPARE(core.responseTimer()->interval(), 1);
        QTRY_VERIFY(!core.responseTimer()->isActive());
        QVERIFY(rig.state.receiveQueue.isEmpty());

        rig.journal.clear();
        core.unload();
        core.unload();
        QCOMPARE(rig.journal,
                 (QStringList{"plc.terminateAll", "kelo.releaseLink", "Close", "manager.disconnect", "messages.drop"}));
        QCOMPARE(rig.endProgramCalls, 1);
        QVERIFY(!core.supervisionTimer()->isActive());
    }

    // Without a display, boxes and the operator's messages become event-log entries and count
    // as answered: the message list never grows.
    void headlessBoxesGoToTheEventLog()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("events.log");
        GatewayState state;
        EventLog eventLog(state, file);
        HeadlessDesktop desktop;
        desktop.setEventLog(&eventLog);
        MsgList messages(state, eventLog, desktop);
        desktop.serveMessages(messages);

        int answers = 0;
        desktop.showMessage({"Fehler beim Schreiben der Registry", "Kavetta", DesktopServices::Buttons::OkCancel,
                             DesktopServices::Icon::Critical},
                            [&](DesktopServices::Answer a) { answers += a == DesktopServices::Answer::Ok; });
        QCOMPARE(answers, 0); // answered after the caller returned
        desktop.message("Hinweis");
        messages.addMsg(MsgList::Error, "Create VarHandle: Svc.anford1808");
        messages.addMsg(MsgList::Information, "Timeout connecting");
        QVERIFY(messages.isEmpty());
        QTRY_COMPARE(answers, 1);

        QFile log(file);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList lines = cp1252::decode(log.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4);
        const QStringList texts{"Fehler beim Schreiben der Registry", "Hinweis", "Create VarHandle: Svc.anford1808",
                                "Timeout connecting"};
        // Errors as errors (1), the rest as warnings (2): the type leads each line.
        const QString types = "1212";
        for (int i = 0; i < 4; ++i) {
            QVERIFY2(lines[i].startsWith(types[i] + QString(' ')), qPrintable(lines[i]));
            QVERIFY2(lines[i].contains(texts[i]), qPrintable(lines[i]));
        }
    }

    // The real program without a display: it serves, reloads its configuration on SIGHUP and
    // ends through its unload with status 0 on SIGTERM.
    void headlessProcessFollowsSignals()
    {
        QTemporaryDir dir;
        const QString home = dir.filePath("Server");
        QVERIFY(QDir().mkpath(home));
        const quint16 first = freePort();
        QFile config(home + "/Kavetta.zelb");
        QVERIFY(config.open(QIODevice::WriteOnly) && config.write(configuration(first)) > 0);
        config.close();

        QProcess gateway;
        startHeadless(gateway, dir.path(), home);
        QVERIFY(gateway.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(accepts(first), 10000);

        const quint16 second = freePort();
        QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate) && config.write(configuration(second)) > 0);
        config.close();
        ::kill(static_cast<pid_t>(gateway.processId()), SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(accepts(second), 10000);
        QVERIFY(!accepts(first));

        ::kill(static_cast<pid_t>(gateway.processId()), SIGTERM);
        QVERIFY(gateway.waitForFinished(10000));
        QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
        QCOMPARE(gateway.exitCode(), 0);
    }
};

QTEST_MAIN(TestGatewayCore)
#include "TestGatewayCore.moc"
