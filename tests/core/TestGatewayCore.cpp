#include "GatewayInstance.h"
#include "NotifySocket.h"
#include "UiFakes.h"
#include "app/HeadlessDesktop.h"
#include "common/Cp1252.h"
#include "core/GatewayCore.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"

#include <QTimer>

class TestGatewayCore : public QObject
{
    Q_OBJECT

private slots:
    // Each data arrival is one item for the response cycle, whose timer rests again once nothing
    // waits; no window object is needed for it.
    void runsWithoutAnyWindow()
    {
        QTemporaryDir dir;
        UiRig rig(dir.path());
        rig.desktop.tray = false;
        GatewayCore core(rig.state, rig.coreParts());
        core.load();
        // The supervision's socket state reaches the PLC side.
        QTRY_COMPARE(rig.socketStates.value(0, -1), int(SocketEndpoint::Closed));
        rig.socket.incoming = "answer";
        emit rig.socket.dataArrival(6);
        QVERIFY(rig.state.receiveQueue == QStringList{"answer"} && core.responseTimer()->isActive());
        QTRY_VERIFY(!core.responseTimer()->isActive() && rig.state.receiveQueue.isEmpty());
    }

    // The PLC link that a reload may replace and the response cycle, each behind its interface:
    // the load reports why the configured link cannot be used before the PLC connection; a reload
    // to another link releases every handle and the old link, makes the new one and reports its
    // problem before connecting anew; each tick of Timer2 is the cycle's until nothing waits.
    void reachesLinkAndResponseCycleThroughTheirInterfaces()
    {
        struct PlcSide : PlcLinkRenewal, ResponseCycle {
            QStringList &journal;
            GatewayState &state;
            QString change, broken = QStringLiteral("map A unusable");
            int ticks = 0;
            PlcSide(QStringList &j, GatewayState &s) : journal(j), state(s) {}
            QString problem() const override { return journal << "link.problem", broken; }
            QString pendingChange() const override { return change; }
            void renew() override
            {
                journal << "link.renew";
                change.clear();
                broken = QStringLiteral("map B unusable");
            }
            void responseTick() override
            {
                ++ticks;
                state.dropFirstAnswer();
            }
        };
        QTemporaryDir dir;
        UiRig rig(dir.path());
        PlcSide plc(rig.journal, rig.state);
        CoreParts parts = rig.coreParts();
        parts.linkRenewal = &plc;
        parts.responses = &plc;
        GatewayCore core(rig.state, parts);
        core.load();
        const auto after = [&rig](const char *first) {
            return rig.journal.mid(rig.journal.lastIndexOf(first));
        };
        QCOMPARE(after("link.problem"), (QStringList{"link.problem", "plc.connect"}));
        QVERIFY(rig.log.records.size() == 1 && rig.log.records[0].first.contains("map A unusable") &&
                !rig.log.records[0].second);

        core.loadConfiguration(); // the same file, the same link: nothing happens
        QCOMPARE(rig.journal.last(), QStringLiteral("config.load"));
        plc.change = QStringLiteral("PLC link runtime link -> Modbus link (Line1.modbus)");
        core.loadConfiguration();
        QCOMPARE(after("plc.terminateAll"),
                 (QStringList{"plc.terminateAll", "kelo.releaseLink", "link.renew", "link.problem",
                              "kelo.netId=10.1.1.5.1.1", "kelo.netId2=10.1.1.5.1.1", "kelo.port=851",
                              "plc.connect"}));
        QCOMPARE(rig.log.records.size(), 3);
        QVERIFY(rig.log.records[1].first.contains("map B unusable"));
        QVERIFY(rig.log.records[2].first.contains("Configuration reloaded: " + plc.change));

        rig.socket.incoming = "answer";
        emit rig.socket.dataArrival(6);
        QTRY_VERIFY(!core.responseTimer()->isActive());
        QVERIFY(plc.ticks == 1 && rig.state.receiveQueue.isEmpty());
    }

    // A resting response cycle takes an answer in the loop's next turn, without a timer sleep
    // first; while the PLC has not taken the last answer it looks again about every millisecond,
    // not in a busy loop, and a further arrival meanwhile does not hold it back.
    void responseCycleStartsAtOnceAndRetriesAtItsPace()
    {
        struct Plc : ResponseCycle {
            GatewayState &state;
            int ticks = 0, busyTicks = 0;
            explicit Plc(GatewayState &s) : state(s) {}
            void responseTick() override
            {
                if (++ticks > busyTicks)
                    state.dropFirstAnswer();
            }
        };
        QTemporaryDir dir;
        UiRig rig(dir.path());
        Plc plc(rig.state);
        CoreParts parts = rig.coreParts();
        parts.responses = &plc;
        GatewayCore core(rig.state, parts);
        core.load();

        rig.socket.incoming = "first";
        emit rig.socket.dataArrival(5);
        QCoreApplication::processEvents();
        QVERIFY(plc.ticks == 1 && rig.state.receiveQueue.isEmpty() && !core.responseTimer()->isActive());

        plc.ticks = 0;
        plc.busyTicks = 20;
        QElapsedTimer clock;
        clock.start();
        rig.socket.incoming = "second";
        emit rig.socket.dataArrival(6);
        QTest::qWait(5);
        rig.socket.incoming = "third";
        emit rig.socket.dataArrival(5);
        QTRY_VERIFY(rig.state.receiveQueue.isEmpty());
        QTRY_VERIFY(!core.responseTimer()->isActive());
        // 21 ticks for the second answer (20 of them find the PLC busy), one for the third.
        QCOMPARE(plc.ticks, 22);
        QVERIFY2(clock.elapsed() >= 20, qPrintable(QString::number(clock.elapsed())));
    }

    // Without a display, boxes and the operator's messages become event-log entries (errors as
    // type 1, the rest as 2) and count as answered: the message list never grows.
    void headlessBoxesGoToTheEventLog()
    {
        QTemporaryDir dir;
        GatewayState state;
        EventLog eventLog(state, dir.filePath("events.log"));
        HeadlessDesktop desktop;
        desktop.setEventLog(&eventLog);
        MsgList messages(state, eventLog, desktop);
        desktop.serveMessages(messages);
        int answers = 0;
        desktop.showMessage(
            {"Registry", "Kavetta", DesktopServices::Buttons::OkCancel, DesktopServices::Icon::Critical},
            [&](DesktopServices::Answer a) { answers += a == DesktopServices::Answer::Ok; });
        QCOMPARE(answers, 0); // answered after the caller returned
        messages.addMsg(MsgList::Error, "VarHandle");
        messages.addMsg(MsgList::Information, "Timeout");
        QVERIFY(messages.isEmpty());
        QTRY_COMPARE(answers, 1);
        QFile log(eventLog.filePath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QRegularExpression entries("^1 .*Registry.*\n1 .*VarHandle.*\n2 .*Timeout.*\n$");
        QVERIFY2(entries.match(cp1252::decode(log.readAll())).hasMatch(), qPrintable(log.fileName()));
    }

    // The real program without a display, under a stand-in service manager: it reports ready
    // after its load, feeds the watchdog on every supervision tick, reloads its configuration on
    // SIGHUP (reloading, then ready again) and ends through its unload, once, with status 0 on
    // SIGTERM, even when the signal comes twice.
    void headlessProcessFollowsSignals()
    {
        GatewayInstance in("Svc");
        in.config.remotePort = freePort(); // a file that "--check" passes, so SIGHUP reloads it
        QVERIFY(in.writeConfig());
        NotifySocket manager;
        QVERIFY(manager.bound());
        QProcessEnvironment env;
        env.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(manager.path()));
        env.insert("WATCHDOG_USEC", "5000000");
        qunsetenv("WATCHDOG_PID");
        in.start(env);

        // Everything but the watchdog, in order, and how often the watchdog was fed.
        QList<QByteArray> states;
        int watchdogs = 0;
        const auto received = [&](int count) {
            for (const QByteArray &d : manager.take())
                d == "WATCHDOG=1" ? void(++watchdogs) : states.append(d);
            return states.size() >= count;
        };
        QTRY_VERIFY_WITH_TIMEOUT(received(1), 10000);
        const int fedBefore = watchdogs;
        QTRY_VERIFY_WITH_TIMEOUT((received(0), watchdogs >= fedBefore + 3), 5000);
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(received(3), 10000);

        in.signal(SIGTERM);
        QVERIFY(in.stop());
        received(0);
        QCOMPARE(states, (QList<QByteArray>{"READY=1", "RELOADING=1", "READY=1", "STOPPING=1"}));
    }

    // Nobody sees the window title without a window: a headless gateway without a module says
    // in its event log (as a warning) why it runs with the empty configuration, and runs on.
    void headlessProcessSaysWhyItsConfigurationIsEmpty()
    {
        GatewayInstance in;
        QVERIFY(in.write("/Kavetta.zelb", "\"Modulname\",\"\"\r\n"));
        in.start();
        const QString notice = "Configuration file " + in.home +
                               "/Kavetta.zelb names no module: running with the empty configuration";
        QTRY_VERIFY_WITH_TIMEOUT(eventLogMessages(in.dir.filePath("events.log")).contains(notice), 10000);
        QFile log(in.dir.filePath("events.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(cp1252::decode(log.readAll()).split('\n').filter(notice).value(0).startsWith("2 "));
        QVERIFY(in.stop());
    }
};

QTEST_MAIN(TestGatewayCore)
#include "TestGatewayCore.moc"
