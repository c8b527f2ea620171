#include "GatewayProcess.h"
#include "NotifySocket.h"
#include "UiFakes.h"
#include "common/Cp1252.h"
#include "core/GatewayCore.h"
#include "core/HeadlessDesktop.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace
{

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

// The program without a display in a folder of the test's; its event log goes to events.log.
QString eventLogText(const QTemporaryDir &dir)
{
    QFile log(dir.filePath("events.log"));
    return log.open(QIODevice::ReadOnly) ? cp1252::decode(log.readAll()) : QString();
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
        QCOMPARE(rig.socketStates.value(0, -1), int(SocketEndpoint::Closed)); // for the PLC

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
        QCOMPARE(rig.journal, (QStringList{"plc.terminateAll", "kelo.releaseLink", "Close",
                                           "manager.disconnect", "messages.drop"}));
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
        desktop.showMessage({"Fehler beim Schreiben der Registry", "Kavetta",
                             DesktopServices::Buttons::OkCancel, DesktopServices::Icon::Critical},
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
        const QStringList texts{"Fehler beim Schreiben der Registry", "Hinweis",
                                "Create VarHandle: Svc.anford1808", "Timeout connecting"};
        // Errors as errors (1), the rest as warnings (2): the type leads each line.
        const QString types = "1212";
        for (int i = 0; i < 4; ++i) {
            QVERIFY2(lines[i].startsWith(types[i] + QString(' ')), qPrintable(lines[i]));
            QVERIFY2(lines[i].contains(texts[i]), qPrintable(lines[i]));
        }
    }

    // The real program without a display, under a stand-in service manager: it reports ready
    // after its load, feeds the watchdog on every supervision tick, reloads its configuration on
    // SIGHUP (reloading, then ready again) and ends through its unload, once, with status 0 on
    // SIGTERM, even when the signal comes twice.
    void headlessProcessFollowsSignals()
    {
        QTemporaryDir dir;
        const QString home = dir.filePath("Server");
        QVERIFY(QDir().mkpath(home));
        const quint16 first = freePort();
        QFile config(home + "/Kavetta.zelb");
        QVERIFY(config.open(QIODevice::WriteOnly) && config.write(configuration(first)) > 0);
        config.close();
        NotifySocket manager;
        QVERIFY(manager.bound());

        QProcess gateway;
        QProcessEnvironment env = headlessEnvironment(dir.path(), home);
        env.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(manager.path()));
        env.insert("WATCHDOG_USEC", "5000000");
        env.remove("WATCHDOG_PID");
        startHeadless(gateway, env);
        QVERIFY(gateway.waitForStarted());
        const auto pid = static_cast<pid_t>(gateway.processId());

        // Everything but the watchdog, in order, and how often the watchdog was fed.
        QList<QByteArray> states;
        int watchdogs = 0;
        const auto receive = [&] {
            for (const QByteArray &d : manager.take()) {
                if (d == "WATCHDOG=1")
                    ++watchdogs;
                else
                    states.append(d);
            }
        };
        const auto received = [&](int count) {
            receive();
            return states.size() >= count;
        };

        QTRY_VERIFY_WITH_TIMEOUT(received(1), 10000);
        QCOMPARE(states, QList<QByteArray>{"READY=1"});
        QVERIFY(accepts(first));
        const int fedBefore = watchdogs;
        QTRY_VERIFY_WITH_TIMEOUT((receive(), watchdogs >= fedBefore + 3), 5000);

        const quint16 second = freePort();
        QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                config.write(configuration(second)) > 0);
        config.close();
        ::kill(pid, SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(received(3), 10000);
        QCOMPARE(states, (QList<QByteArray>{"READY=1", "RELOADING=1", "READY=1"}));
        QTRY_VERIFY_WITH_TIMEOUT(accepts(second), 10000);
        QVERIFY(!accepts(first));

        ::kill(pid, SIGTERM);
        ::kill(pid, SIGTERM);
        QVERIFY(gateway.waitForFinished(10000));
        QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
        QCOMPARE(gateway.exitCode(), 0);
        receive();
        QCOMPARE(states, (QList<QByteArray>{"READY=1", "RELOADING=1", "READY=1", "STOPPING=1"}));
    }

    // Nobody sees the window title without a window: a headless gateway without a module says
    // in its event log why it runs with the empty configuration, and runs on.
    void headlessProcessSaysWhyItsConfigurationIsEmpty()
    {
        const QList<std::pair<const char *, const char *>> cases{
            {"missing", "Program folder %1 not found"},
            {"empty", "Configuration file %1/Kavetta.zelb not found"},
            {"blank", "Configuration file %1/Kavetta.zelb names no module"}};
        for (const auto &[name, expected] : cases) {
            QTemporaryDir dir;
            const QString home = dir.filePath(name);
            if (qstrcmp(name, "missing") != 0)
                QVERIFY(QDir().mkpath(home));
            if (qstrcmp(name, "blank") == 0) {
                QFile config(home + "/Kavetta.zelb");
                QVERIFY(config.open(QIODevice::WriteOnly) && config.write("\"Modulname\",\"\"\r\n") > 0);
            }
            QProcess gateway;
            startHeadless(gateway, headlessEnvironment(dir.path(), home));
            QVERIFY(gateway.waitForStarted());
            const QString notice =
                QString::fromLatin1(expected).arg(home) + ": running with the empty configuration";
            QTRY_VERIFY2_WITH_TIMEOUT(eventLogText(dir).contains(notice), qPrintable(eventLogText(dir)),
                                      10000);
            QCOMPARE(gateway.state(), QProcess::Running);
            QVERIFY(eventLogText(dir).split(u'\n').filter(notice).value(0).startsWith("2 "));

            ::kill(static_cast<pid_t>(gateway.processId()), SIGTERM);
            QVERIFY(gateway.waitForFinished(10000));
            QCOMPARE(gateway.exitCode(), 0);
        }
    }
};

QTEST_MAIN(TestGatewayCore)
#include "TestGatewayCore.moc"
