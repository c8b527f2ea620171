// The real program as child processes, with the server manager stand-in and the PLC runtime
// stand-in beside it. Runs under a session bus of its own (dbus-run-session, see
// tests/CMakeLists.txt).
#include "GatewayProcess.h"
#include "PlcSimProcess.h"

#include <QDir>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace
{

bool ended(QProcess &p, int timeoutMs)
{
    return QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, timeoutMs);
}

// The manager's command line: exit code and standard output. The event loop runs meanwhile, so
// the gateways can answer the manager.
std::pair<int, QString> manager(const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(KAVETTA_BINARY_DIR "/tools/manager/kavetta-manager"), args);
    if (!p.waitForStarted(5000) || !ended(p, 20000) || p.exitStatus() != QProcess::NormalExit)
        return {-1, {}};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput())};
}

// What the gateways did with their PLC handles: handle id -> the operations on it, in order.
QMap<QString, QStringList> handleOps(const QStringList &trace, const QString &module)
{
    static const QRegularExpression re(u"^handle t=\\S+ client=\\d+ op=(\\w+) id=(\\d+) name=(\\S+)"_s);
    QMap<QString, QStringList> ops;
    for (const QString &line : trace)
        if (const auto m = re.match(line); m.hasMatch() && m.captured(3).startsWith(module + u'.'))
            ops[m.captured(2)] << m.captured(1);
    return ops;
}

} // namespace

class TestHostEndToEndDbus : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    PlcSimProcess m_plc;
    QTcpServer m_peer; // the printer's end of the line
    QList<QTcpSocket *> m_lines;

    struct Instance {
        QProcess run;
        QString home;
    };

    // One gateway with a program folder of its own, its event log beside it; the options store
    // and the lock files that tell whether another one runs are shared by all.
    void start(Instance &gw, const QString &name, const QString &module, bool windowed = false,
               const QString &busAddress = {})
    {
        gw.home = m_dir.filePath(name + u"/Server"_s);
        QFile config(gw.home + u"/Kavetta.zelb"_s);
        InstanceConfig records;
        records.modul = module.toLatin1();
        records.plcPort = m_plc.port();
        records.remotePort = m_peer.serverPort();
        QVERIFY(QDir().mkpath(gw.home) && config.open(QIODevice::WriteOnly) &&
                config.write(records.text()) > 0);
        config.close();

        QProcessEnvironment env = headlessEnvironment(m_dir.path(), gw.home);
        env.insert(u"KAVETTA_EVENTLOG"_s, gw.home + u"/events.log"_s);
        if (windowed) {
            env.remove(u"KAVETTA_HEADLESS"_s);
            env.insert(u"DISPLAY"_s, u":kavetta-test"_s);
            env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        }
        if (!busAddress.isEmpty())
            env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, busAddress);
        gw.run.setProcessEnvironment(env);
        gw.run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        gw.run.start(QStringLiteral(KAVETTA_BINARY_DIR "/src/kavetta"), {config.fileName()});
        QVERIFY(gw.run.waitForStarted(5000));
    }

    qsizetype peerLinesUp() const
    {
        return std::count_if(m_lines.cbegin(), m_lines.cend(),
                             [](QTcpSocket *s) { return s->state() == QAbstractSocket::ConnectedState; });
    }

    bool plcHandlesMade(const QString &module)
    {
        return QTest::qWaitFor([&] { return handleOps(m_plc.lines(), module).size() >= 2; }, 10000);
    }

    // Every handle and notification the module's gateway made has been given back.
    bool allHandlesReleased(const QString &module) const
    {
        const auto ops = handleOps(m_plc.lines(), module);
        return !ops.isEmpty() && std::all_of(ops.cbegin(), ops.cend(), [](const QStringList &o) {
            return o.contains(o.first() == u"create"_s ? u"delete"_s : u"unsubscribe"_s);
        });
    }

    int plcClients() const { return int(m_plc.lines().filter(u"client connected"_s).size()); }

    static void endsCleanly(Instance &gw)
    {
        QVERIFY(ended(gw.run, 10000));
        QCOMPARE(gw.run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(gw.run.exitCode(), 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_plc.start(
            {u"--module"_s, u"Solo"_s, u"--module"_s, u"Line1"_s, u"--module"_s, u"Line2"_s, u"--trace"_s}));
        QVERIFY(m_peer.listen(QHostAddress::LocalHost, 0));
        connect(&m_peer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_peer.nextPendingConnection())
                m_lines << s;
        });
    }

    // Nobody owns the manager's name. A gateway with no session bus at all runs on its own without
    // a word; a second start of the program, which finds the bus but no manager, ends at once.
    void withoutManagerTheProgramRunsOnce()
    {
        Instance solo, second;
        start(solo, u"solo"_s, u"Solo"_s, false, u"unix:path="_s + m_dir.filePath(u"no-bus"_s));
        QVERIFY(plcHandlesMade(u"Solo"_s));
        QTRY_COMPARE_WITH_TIMEOUT(peerLinesUp(), qsizetype(1), 10000);

        const int clients = plcClients();
        start(second, u"second"_s, u"Other"_s);
        endsCleanly(second);
        QCOMPARE(plcClients(), clients);
        QCOMPARE(solo.run.state(), QProcess::Running);

        ::kill(pid_t(solo.run.processId()), SIGTERM);
        endsCleanly(solo);
        QVERIFY(allHandlesReleased(u"Solo"_s));
        const auto events = [](const Instance &gw) {
            QFile log(gw.home + u"/events.log"_s);
            return log.open(QIODevice::ReadOnly) ? QString::fromLatin1(log.readAll()) : QString();
        };
        QVERIFY2(
            events(second).contains(u"Another process of this program runs already and no server manager "
                                    "tells the instances apart: this start of module Other ends"_s),
            qPrintable(events(second)));
        QVERIFY2(!events(solo).contains(u"Error Init SysIcon"_s), qPrintable(events(solo)));
        QVERIFY2(
            !QRegularExpression(u"^1 "_s, QRegularExpression::MultilineOption).match(events(solo)).hasMatch(),
            qPrintable(events(solo)));
    }

    void twoInstancesUnderTheManager()
    {
        QProcess serve;
        serve.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QString served; // the manager's event lines
        const auto servedLine = [&](const QString &pattern) {
            const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
            return QTest::qWaitFor(
                [&] {
                    return re.match(served += QString::fromUtf8(serve.readAllStandardOutput())).hasMatch();
                },
                10000);
        };
        serve.start(QStringLiteral(KAVETTA_BINARY_DIR "/tools/manager/kavetta-manager"), {u"serve"_s});
        QVERIFY(servedLine(u"serving"_s));

        // Two modules side by side, Line1 with its window (offscreen).
        Instance line1, line2;
        start(line1, u"line1"_s, u"Line1"_s, true);
        start(line2, u"line2"_s, u"Line2"_s);
        QVERIFY(servedLine(u"^\\S+ connect name=\"Socket  / Line1 Socket-Server\""_s));
        QVERIFY(servedLine(u"^\\S+ connect name=\"Socket  / Line2 Socket-Server\""_s));
        QVERIFY(plcHandlesMade(u"Line1"_s) && plcHandlesMade(u"Line2"_s));
        QTRY_COMPARE_WITH_TIMEOUT(peerLinesUp(), qsizetype(2), 10000);
        const auto [listed, list] = manager({u"list"_s});
        QCOMPARE(listed, 0);
        // Each line names the instance's file and ends in the state the instance itself tells the
        // manager.
        for (const Instance *gw : {&line1, &line2}) {
            const QString module = gw == &line1 ? u"Line1"_s : u"Line2"_s;
            const QRegularExpression state(
                u"^Socket  / %1 Socket-Server\t%2/Kavetta\\.zelb\t:\\S+\tPLC connected "
                u"\\(127\\.0\\.0\\.1:%3\\), "
                u"peer Port Connected \\(127\\.0\\.0\\.1:%4\\), pending 0, up \\d+m \\d+s, last error: .+$"_s
                    .arg(module, QRegularExpression::escape(gw->home))
                    .arg(m_plc.port())
                    .arg(m_peer.serverPort()),
                QRegularExpression::MultilineOption);
            QVERIFY2(state.match(list).hasMatch(), qPrintable(list));
        }

        // A twin of Line1 (its own folder, the same module) ends before it touches the PLC.
        Instance twin;
        const int plcBefore = plcClients();
        start(twin, u"twin"_s, u"Line1"_s, true);
        endsCleanly(twin);
        QVERIFY(servedLine(u"prevInstance name=\"Socket  / Line1 Socket-Server\" count=1"_s));
        QFile twinEvents(twin.home + u"/events.log"_s);
        QVERIFY(twinEvents.open(QIODevice::ReadOnly));
        QVERIFY(twinEvents.readAll().contains(
            "Module Line1 runs already under the server manager: this start ends"));
        QTest::qWait(300);
        QCOMPARE(plcClients(), plcBefore);

        // Start shows Line1's window and restarts its supervision timer, which goes on keeping
        // the static connection: a connection the printer drops is made again. Restart does nothing,
        // nor does a stop that names more than one client.
        const auto [started, shown] = manager({u"start"_s, u"Line1"_s});
        QCOMPARE(started, 0);
        QVERIFY2(shown.contains(u"serverStart done"_s), qPrintable(shown));
        QCOMPARE(manager({u"restart"_s, u"Line2"_s}).first, 0);
        QCOMPARE(manager({u"stop"_s, u"Socket"_s}).first, 1); // names both: neither is stopped
        QTest::qWait(600);
        QCOMPARE(line1.run.state(), QProcess::Running);
        QCOMPARE(line2.run.state(), QProcess::Running);
        const qsizetype before = m_lines.size();
        for (QTcpSocket *s : std::as_const(m_lines))
            s->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(m_lines.size() >= before + 2 && peerLinesUp() == 2, 10000);
        QCOMPARE(manager({u"list"_s}).second.count(u'\n'), 2);

        // Stop ends Line1 through its unload: every PLC handle released, the line closed.
        QCOMPARE(manager({u"stop"_s, u"Line1"_s}).first, 0);
        endsCleanly(line1);
        QVERIFY(servedLine(u"disconnect name=\"Socket  / Line1 Socket-Server\""_s));
        QVERIFY(allHandlesReleased(u"Line1"_s));
        QTRY_COMPARE_WITH_TIMEOUT(peerLinesUp(), qsizetype(1), 5000);
        QCOMPARE(manager({u"list"_s}).second.count(u'\n'), 1);

        // The manager goes away; Line2 runs on, and its unload does not hang on the lost link.
        serve.terminate();
        QVERIFY(ended(serve, 5000));
        QTest::qWait(300);
        QCOMPARE(line2.run.state(), QProcess::Running);
        ::kill(pid_t(line2.run.processId()), SIGTERM);
        endsCleanly(line2);
        QVERIFY(allHandlesReleased(u"Line2"_s));
        QTRY_COMPARE_WITH_TIMEOUT(peerLinesUp(), qsizetype(0), 5000);
    }
};

QTEST_MAIN(TestHostEndToEndDbus)
#include "TestHostEndToEndDbus.moc"
