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
    const bool done = ended(p, 20000) && p.exitStatus() == QProcess::NormalExit;
    return {done ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput())};
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
    void start(Instance &gw, const QString &name, const QString &module, bool windowed = false)
    {
        gw.home = m_dir.filePath(name + u"/Server"_s);
        InstanceConfig records{module.toLatin1(), m_plc.port(), m_peer.serverPort()};
        QFile config(gw.home + u"/Kavetta.zelb"_s);
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

    // Every handle and notification the module's gateway made has been given back.
    bool allHandlesReleased(const QString &module) const
    {
        const auto ops = handleOps(m_plc.lines(), module);
        return !ops.isEmpty() && std::all_of(ops.cbegin(), ops.cend(), [](const QStringList &o) {
            return o.contains(o.first() == u"create"_s ? u"delete"_s : u"unsubscribe"_s);
        });
    }

    static QByteArray events(const Instance &gw)
    {
        QFile log(gw.home + u"/events.log"_s);
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

    static bool endsCleanly(Instance &gw)
    {
        return ended(gw.run, 10000) && gw.run.exitStatus() == QProcess::NormalExit && gw.run.exitCode() == 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_plc.start({u"--module"_s, u"Line1"_s, u"--module"_s, u"Line2"_s, u"--trace"_s}));
        QVERIFY(m_peer.listen(QHostAddress::LocalHost, 0));
        connect(&m_peer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_peer.nextPendingConnection())
                m_lines << s;
        });
    }

    void twoInstancesUnderTheManagerAndOneWithout()
    {
        QProcess serve;
        serve.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        serve.start(QStringLiteral(KAVETTA_BINARY_DIR "/tools/manager/kavetta-manager"), {u"serve"_s});
        QByteArray served;
        QVERIFY(QTest::qWaitFor([&] { return (served += serve.readAllStandardOutput()).contains("serving"); },
                                10000));

        // Two modules side by side, Line1 with its window (offscreen).
        Instance line1, line2;
        start(line1, u"line1"_s, u"Line1"_s, true);
        start(line2, u"line2"_s, u"Line2"_s);
        const auto handlesMade = [&](const QString &module) {
            return handleOps(m_plc.lines(), module).size() >= 2;
        };
        QTRY_VERIFY_WITH_TIMEOUT(handlesMade(u"Line1"_s) && handlesMade(u"Line2"_s), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(peerLinesUp(), qsizetype(2), 10000);
        // One line for each, naming the instance's file and ending in the state the instance itself
        // tells the manager.
        const auto [listed, list] = manager({u"list"_s});
        const QRegularExpression state(
            u"^Socket  / Line2 Socket-Server\t%1/Kavetta\\.zelb\t:\\S+\tPLC connected "
            u"\\(127\\.0\\.0\\.1:\\d+\\), "
            u"peer Port Connected \\(127\\.0\\.0\\.1:\\d+\\), pending 0, up \\d+m \\d+s, last error: .+$"_s
                .arg(QRegularExpression::escape(line2.home)),
            QRegularExpression::MultilineOption);
        QVERIFY2(listed == 0 && state.match(list).hasMatch() && list.count(u'\n') == 2, qPrintable(list));

        // A twin of Line1 (its own folder, the same module) ends before it touches the PLC.
        Instance twin;
        const QStringList plcClients = m_plc.lines().filter(u"client connected"_s);
        start(twin, u"twin"_s, u"Line1"_s, true);
        QVERIFY(endsCleanly(twin));
        QVERIFY(events(twin).contains("Module Line1 runs already under the server manager: this start ends"));
        QCOMPARE(m_plc.lines().filter(u"client connected"_s), plcClients);

        // Start shows Line1's window and restarts its supervision timer, which goes on keeping
        // the static connection: a connection the printer drops is made again, by both (a stop
        // that names more than one client stops neither).
        const auto [started, shown] = manager({u"start"_s, u"Line1"_s});
        QVERIFY2(started == 0 && shown.contains(u"serverStart done"_s), qPrintable(shown));
        QCOMPARE(manager({u"stop"_s, u"Socket"_s}).first, 1);
        const qsizetype before = m_lines.size();
        for (QTcpSocket *s : std::as_const(m_lines))
            s->disconnectFromHost();
        // Seen once to take just over 10 s (the instances' "Timeout"): a reconnect may first wait
        // out a connect that does not complete.
        QTRY_VERIFY_WITH_TIMEOUT(m_lines.size() >= before + 2 && peerLinesUp() == 2, 25000);

        // Stop ends Line1 through its unload: every PLC handle released, the line closed.
        QCOMPARE(manager({u"stop"_s, u"Line1"_s}).first, 0);
        QVERIFY(endsCleanly(line1));
        QVERIFY(allHandlesReleased(u"Line1"_s));
        QTRY_COMPARE_WITH_TIMEOUT(peerLinesUp(), qsizetype(1), 5000);

        // The manager goes away; Line2 runs on. Another start of the program, which finds no
        // manager, ends at once; Line2's unload does not hang on the lost link.
        serve.terminate();
        QVERIFY(ended(serve, 5000));
        Instance second;
        start(second, u"second"_s, u"Other"_s);
        QVERIFY(endsCleanly(second));
        QVERIFY(events(second).contains("Another process of this program runs already and no server manager "
                                        "tells the instances apart: this start of module Other ends"));
        ::kill(pid_t(line2.run.processId()), SIGTERM);
        QVERIFY(endsCleanly(line2) && allHandlesReleased(u"Line2"_s));
    }
};

QTEST_MAIN(TestHostEndToEndDbus)
#include "TestHostEndToEndDbus.moc"
