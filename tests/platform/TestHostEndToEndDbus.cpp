// The real program as child processes, with the server manager stand-in and the PLC runtime
// stand-in beside it. Runs under a session bus of its own (dbus-run-session, see
// tests/CMakeLists.txt).
#include "PlcSimProcess.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

using namespace Qt::StringLiterals;

namespace
{

QString binary(const QString &relative)
{
    QByteArray dir = qgetenv("KAVETTA_BINARY_DIR");
    if (dir.isEmpty())
        dir = KAVETTA_BINARY_DIR;
    return QString::fromLocal8Bit(dir) + u'/' + relative;
}

// The printer's end of the line: takes the gateways' connections and tells which are still up.
struct Peer {
    QTcpServer server;
    QList<QTcpSocket *> lines;

    Peer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = server.nextPendingConnection())
                lines << s;
        });
    }
    qsizetype connectedCount() const
    {
        return std::count_if(lines.cbegin(), lines.cend(),
                             [](QTcpSocket *s) { return s->state() == QAbstractSocket::ConnectedState; });
    }
    void forget()
    {
        qDeleteAll(lines);
        lines.clear();
    }
};

// A child process whose output lines are kept as they come.
struct LineProcess {
    QProcess process;
    QStringList lines;
    QByteArray partial;

    LineProcess()
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            partial += process.readAllStandardOutput();
            qsizetype nl;
            while ((nl = partial.indexOf('\n')) >= 0) {
                lines << QString::fromUtf8(partial.left(nl));
                partial.remove(0, nl + 1);
            }
        });
    }
    ~LineProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
    bool waitForLine(const QString &pattern, int timeoutMs = 10000)
    {
        const QRegularExpression re(pattern);
        return QTest::qWaitFor([&] { return !lines.filter(re).isEmpty(); }, timeoutMs);
    }
    bool ended(int timeoutMs) const
    {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
};

struct Cli {
    int exitCode = -1;
    QString out, err;
};

// The manager's command line. The event loop keeps running meanwhile, so the output of the other
// children is read while a gateway answers the manager.
Cli manager(const QStringList &args)
{
    QProcess p;
    p.start(binary(u"tools/manager/manager"_s), args);
    Cli r;
    if (!p.waitForStarted(5000) ||
        !QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, 20000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// Client role with a static connection to the peer; the PLC runtime on loopback at plcPort.
QByteArray configuration(const QString &module, quint16 plcPort, quint16 peerPort)
{
    const QByteArray records[] = {R"("ServerPath","~apppath~/Data")",
                                  R"("Netid","")",
                                  R"("Port",")" + QByteArray::number(plcPort) + R"(")",
                                  R"("Modulname",")" + module.toLatin1() + R"(")",
                                  R"("Maschinenname","")",
                                  R"("XML-Export",0)",
                                  R"("RemoteHost","127.0.0.1")",
                                  R"("RemotePort",")" + QByteArray::number(peerPort) + R"(")",
                                  R"("ServerTest",0)",
                                  R"("Status",1)",
                                  R"("Timeout","10")",
                                  R"("StaticConnect",1)",
                                  R"("ResetOnError",1)",
                                  R"("UTF8Codierung",0)",
                                  R"("AutoConnectOff",#FALSE#)"};
    QByteArray out;
    for (const QByteArray &r : records)
        out += r + "\r\n";
    return out;
}

// What the gateways did with their PLC handles: handle id -> the operations on it, in order.
QMap<QString, QStringList> handleOps(const QStringList &trace, const QString &module)
{
    static const QRegularExpression re(u"^handle t=\\S+ client=\\d+ op=(\\w+) id=(\\d+) name=(\\S+)"_s);
    QMap<QString, QStringList> ops;
    for (const QString &line : trace) {
        const auto m = re.match(line);
        if (m.hasMatch() && m.captured(3).startsWith(module + u'.'))
            ops[m.captured(2)] << m.captured(1);
    }
    return ops;
}

} // namespace

class TestHostEndToEndDbus : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    PlcSimProcess m_plc;
    Peer m_peer;

    // One gateway instance with a program folder of its own; its event log beside it.
    struct Instance {
        LineProcess run;
        QString home;
        QString eventLog() const { return home + u"/events.log"_s; }
    };

    void start(Instance &gw, const QString &name, const QString &module, bool windowed = false,
               const QString &busAddress = {})
    {
        gw.home = m_dir.filePath(name + u"/Server"_s);
        QVERIFY(QDir().mkpath(gw.home));
        QFile config(gw.home + u"/Kavetta.zelb"_s);
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(configuration(module, m_plc.port(), m_peer.server.serverPort()));
        config.close();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KAVETTA_HOME"_s, gw.home);
        env.insert(u"KAVETTA_EVENTLOG"_s, gw.eventLog());
        env.insert(u"XDG_CONFIG_HOME"_s, m_dir.filePath(u"xdg-home"_s));
        env.insert(u"XDG_CONFIG_DIRS"_s, m_dir.filePath(u"xdg"_s));
        env.insert(u"XDG_DATA_HOME"_s, m_dir.filePath(u"data"_s));
        // Shared by every instance: the lock files that tell whether another one runs.
        env.insert(u"XDG_RUNTIME_DIR"_s, m_dir.path());
        if (windowed) {
            env.remove(u"KAVETTA_HEADLESS"_s);
            env.insert(u"DISPLAY"_s, u":kavetta-test"_s);
            env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        } else {
            env.insert(u"KAVETTA_HEADLESS"_s, u"1"_s);
        }
        if (!busAddress.isEmpty())
            env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, busAddress);
        gw.run.process.setProcessEnvironment(env);
        gw.run.process.start(binary(u"src/kavetta"_s), {gw.home + u"/Kavetta.zelb"_s});
        QVERIFY(gw.run.process.waitForStarted(5000));
    }

    bool plcHandlesMade(const QString &module)
    {
        return QTest::qWaitFor([&] { return handleOps(m_plc.lines(), module).size() >= 2; }, 10000);
    }

    // Every handle and notification the module's gateway made has been given back.
    bool allHandlesReleased(const QString &module) const
    {
        const auto ops = handleOps(m_plc.lines(), module);
        bool all = !ops.isEmpty();
        for (auto it = ops.cbegin(); it != ops.cend(); ++it) {
            const QString released = it.value().first() == u"create"_s ? u"delete"_s : u"unsubscribe"_s;
            if (!it.value().contains(released)) {
                qWarning("%s handle %s: %s", qPrintable(module), qPrintable(it.key()),
                         qPrintable(it.value().join(u',')));
                all = false;
            }
        }
        return all;
    }

    int plcClients() const { return int(m_plc.lines().filter(u"client connected"_s).size()); }

    static QString eventLogText(const Instance &gw)
    {
        QFile f(gw.eventLog());
        return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
    }

    static void terminate(Instance &gw)
    {
        ::kill(pid_t(gw.run.process.processId()), SIGTERM);
        QVERIFY(gw.run.ended(10000));
        QCOMPARE(gw.run.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(gw.run.process.exitCode(), 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QFile::exists(binary(u"src/kavetta"_s)));
        QVERIFY(m_plc.start(
            {u"--module"_s, u"Solo"_s, u"--module"_s, u"Line1"_s, u"--module"_s, u"Line2"_s, u"--trace"_s}));
        QVERIFY(m_peer.server.isListening());
    }

    void init() { m_peer.forget(); }

    // Nobody owns the manager's name. A gateway with no session bus at all runs on its own without
    // a word; a second start of the program, which finds the bus but no manager, ends at once.
    void withoutManagerTheProgramRunsOnce()
    {
        Instance solo, second;
        start(solo, u"solo"_s, u"Solo"_s, false, u"unix:path="_s + m_dir.filePath(u"no-bus"_s));
        QVERIFY(plcHandlesMade(u"Solo"_s));
        QTRY_COMPARE_WITH_TIMEOUT(m_peer.connectedCount(), qsizetype(1), 10000);

        const int clients = plcClients();
        start(second, u"second"_s, u"Other"_s);
        QVERIFY(second.run.ended(5000));
        QCOMPARE(second.run.process.exitCode(), 0);
        QCOMPARE(plcClients(), clients);
        QCOMPARE(solo.run.process.state(), QProcess::Running);

        terminate(solo);
        QVERIFY(allHandlesReleased(u"Solo"_s));
        const QString events = eventLogText(solo);
        QVERIFY2(!events.contains(u"Error Init SysIcon"_s), qPrintable(events));
        QVERIFY2(!QRegularExpression(u"^1 "_s, QRegularExpression::MultilineOption).match(events).hasMatch(),
                 qPrintable(events));
    }

    void twoInstancesUnderTheManager()
    {
        LineProcess serve;
        serve.process.start(binary(u"tools/manager/manager"_s), {u"serve"_s});
        QVERIFY(serve.waitForLine(u"serving"_s));

        // Two modules side by side, Line1 with its window (offscreen).
        Instance line1, line2;
        start(line1, u"line1"_s, u"Line1"_s, true);
        start(line2, u"line2"_s, u"Line2"_s);
        QVERIFY(serve.waitForLine(u"^\\S+ connect name=\"Socket  / Line1 Socket-Server\""_s));
        QVERIFY(serve.waitForLine(u"^\\S+ connect name=\"Socket  / Line2 Socket-Server\""_s));
        QVERIFY(plcHandlesMade(u"Line1"_s) && plcHandlesMade(u"Line2"_s));
        QTRY_COMPARE_WITH_TIMEOUT(m_peer.connectedCount(), qsizetype(2), 10000);

        const Cli list = manager({u"list"_s});
        QCOMPARE(list.exitCode, 0);
        QStringList clients = list.out.split(u'\n', Qt::SkipEmptyParts);
        clients.sort();
        QCOMPARE(clients.size(), 2);
        QVERIFY(
            clients[0].startsWith(u"Socket  / Line1 Socket-Server\t"_s + line1.home + u"/Kavetta.zelb\t:"_s));
        QVERIFY(
            clients[1].startsWith(u"Socket  / Line2 Socket-Server\t"_s + line2.home + u"/Kavetta.zelb\t:"_s));

        // A twin of Line1 (its own folder, the same module) ends before it touches the PLC.
        Instance twin;
        const int plcBefore = plcClients();
        start(twin, u"twin"_s, u"Line1"_s, true);
        QVERIFY(twin.run.ended(5000));
        QCOMPARE(twin.run.process.exitCode(), 0);
        QVERIFY(serve.waitForLine(u"prevInstance name=\"Socket  / Line1 Socket-Server\" count=1"_s));
        QTest::qWait(300);
        QCOMPARE(plcClients(), plcBefore);
        QCOMPARE(manager({u"list"_s}).out.count(u'\n'), 2);

        // Start shows Line1's window and restarts its supervision timer, which goes on keeping
        // the static connection: a connection the printer drops is made again.
        const Cli shown = manager({u"start"_s, u"Line1"_s});
        QCOMPARE(shown.exitCode, 0);
        QVERIFY2(shown.out.contains(u"serverStart done"_s), qPrintable(shown.out + shown.err));
        QTest::qWait(600);
        QCOMPARE(line1.run.process.state(), QProcess::Running);
        const qsizetype before = m_peer.lines.size();
        for (QTcpSocket *s : std::as_const(m_peer.lines))
            s->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(m_peer.lines.size() >= before + 2 && m_peer.connectedCount() == 2, 10000);

        // Restart does nothing.
        const Cli restart = manager({u"restart"_s, u"Line2"_s});
        QCOMPARE(restart.exitCode, 0);
        QTest::qWait(600);
        QCOMPARE(line2.run.process.state(), QProcess::Running);
        QCOMPARE(manager({u"list"_s}).out.count(u'\n'), 2);

        // Stop ends Line1 through its unload: every PLC handle released, the line closed.
        const Cli stop = manager({u"stop"_s, u"Line1"_s});
        QCOMPARE(stop.exitCode, 0);
        QVERIFY(line1.run.ended(10000));
        QCOMPARE(line1.run.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(line1.run.process.exitCode(), 0);
        QVERIFY(serve.waitForLine(u"disconnect name=\"Socket  / Line1 Socket-Server\""_s));
        QVERIFY(allHandlesReleased(u"Line1"_s));
        QTRY_COMPARE_WITH_TIMEOUT(m_peer.connectedCount(), qsizetype(1), 5000);
        QCOMPARE(manager({u"list"_s}).out.count(u'\n'), 1);

        // The manager goes away; Line2 runs on, and its unload does not hang on the lost link.
        serve.process.terminate();
        QVERIFY(serve.ended(5000));
        QTest::qWait(300);
        QCOMPARE(line2.run.process.state(), QProcess::Running);
        terminate(line2);
        QVERIFY(allHandlesReleased(u"Line2"_s));
        QTRY_COMPARE_WITH_TIMEOUT(m_peer.connectedCount(), qsizetype(0), 5000);
    }
};

QTEST_MAIN(TestHostEndToEndDbus)
#include "TestHostEndToEndDbus.moc"
