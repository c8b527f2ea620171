// The runtime stand-in itself: its scripted PLC side and its resistance to clients that send
// garbage, its console and declarations.
#include "PlcSimProcess.h"
#include "plc/KeloOcx.h"

#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>

using namespace plcproto;
using namespace Qt::StringLiterals;

namespace
{

// Runs plcsim with the blank-separated arguments: its exit code, or -1 when its output does not
// match the (multi-line) pattern.
int run(const QString &args, const QString &pattern = {})
{
    QStringList out;
    const int code = PlcSimProcess::run(args.split(u' '), out);
    const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
    return re.match(out.join(u'\n')).hasMatch() ? code : (qWarning() << out, -1);
}

} // namespace

class TestPlcSim : public QObject
{
    Q_OBJECT

private slots:
    void requestIsServedLikeByThePlc()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start({u"--module"_s, u"L1"_s}));
        // The test plays the gateway: take the request, reset the flag, hand back an answer.
        KeloOcx gateway;
        gateway.setPort(sim.portText());
        qint32 hSend = 0, hAnford = 0, hRec = 0, hAntwort = 0, notify = 0;
        QCOMPARE(gateway.createVarHandle(u"L1.SendData"_s, hSend), Ok);
        QCOMPARE(gateway.createVarHandle(u"L1.anford"_s, hAnford), Ok);
        QCOMPARE(gateway.createVarHandle(u"L1.RecData"_s, hRec), Ok);
        QCOMPARE(gateway.createVarHandle(u"L1.antwort"_s, hAntwort), Ok);
        QStringList taken;
        connect(&gateway, &KeloLink::connectUpdate, this, [&](qint32, const QVariant &value, void *) {
            QString data;
            if (!value.toBool() || gateway.readVarString(hSend, 2000, data) != Ok)
                return;
            QCOMPARE(gateway.writeVarBool(hAnford, 2, false), Ok);
            taken << data;
            QTimer::singleShot(20, this, [&, answer = u"got:"_s + data] {
                QCOMPARE(gateway.writeVarString(hRec, int(answer.size() * 2), answer), Ok);
                QCOMPARE(gateway.writeVarBool(hAntwort, 2, true), Ok);
            });
        });
        QCOMPARE(gateway.connectVar(u"L1.anford"_s, 4, 1, notify, nullptr), Ok);

        // Clients that send garbage are dropped; the gateway is served all along.
        const QByteArray garbage[] = {
            "GET / HTTP/1.0\r\n\r\n", QByteArray("\xff\xff\xff\xff", 4) + QByteArray(100, 'a'),
            QByteArray("\x00\x00\x00\x05\x01\x00\x00\x00\x01", 9), // a Hello without its version
            QByteArray("\x00\x00\x00\x09\x48\x00\x00\x00\x01\x00\x00\x00\x00",
                       13)}; // replies are not requests
        for (const QByteArray &bytes : garbage) {
            const int from = int(sim.lines().size());
            QTcpSocket raw;
            raw.connectToHost(QHostAddress::LocalHost, sim.port());
            QVERIFY(raw.waitForConnected(2000));
            raw.write(bytes);
            QTRY_COMPARE(raw.state(), QAbstractSocket::UnconnectedState);
            QVERIFY(sim.waitForLine(u"^client closed id=\\d+ reason=bad-frame$"_s, 2000, from));
        }

        // An answer left from before is taken away and reported, not mistaken for the new one.
        sim.command(u"set L1.RecData old"_s);
        sim.command(u"set L1.antwort true"_s);
        QVERIFY(sim.waitForLine(u"^value L1.antwort=true"_s));
        QProcess script;
        script.start(PlcSimProcess::program(),
                     u"request --port %1 --module L1 --data hi\\tthere --timeout-ms 5000"_s.arg(sim.port())
                         .split(u' '));
        QTRY_COMPARE_WITH_TIMEOUT(script.state(), QProcess::NotRunning, 8000);
        const QString out = QString::fromUtf8(script.readAllStandardOutput());
        QCOMPARE(script.exitCode(), 0);
        QCOMPARE(taken, QStringList{u"hi\tthere"_s});
        const QRegularExpression steps(
            u"^stale-answer data=old\nrequest module=L1 bytes=8 t=[0-9.]+\ntaken t=[0-9.]+\n"
            u"answer t=[0-9.]+ bytes=12 data=got:hi\\\\tthere\ndone t=[0-9.]+\n$"_s);
        QVERIFY2(steps.match(out).hasMatch(), qPrintable(out));
        // The PLC side reset the answer flag after taking the answer.
        sim.command(u"get L1.antwort"_s);
        QVERIFY(sim.waitForLine(u"^value L1.antwort=false$"_s));

        // Without a gateway nobody takes the request: the script says so and ends with code 3.
        QCOMPARE(gateway.disconnectVar(notify), Ok);
        QCOMPARE(run(u"request --port %1 --module L1 --data x --timeout-ms 300"_s.arg(sim.port()),
                     u"^timeout stage=taken t="_s),
                 3);
    }

    void commandLineReadWriteAndControl()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start({u"--module"_s, u"M"_s}));
        const QString at = u"--port "_s + sim.portText() + u' ';
        QCOMPARE(run(at + u"write -- M.ConnectStatus -12"_s, u"^written t=[0-9.]+ M.ConnectStatus=-12$"_s),
                 0);
        QCOMPARE(run(at + u"write M.anfordErrText a\\0b\\\\"_s), 0);
        QCOMPARE(
            run(at + u"read M.ConnectStatus M.anfordErrText"_s,
                u"^value t=[0-9.]+ M.ConnectStatus=-12\nvalue t=[0-9.]+ M.anfordErrText=a\\\\0b\\\\\\\\$"_s),
            0);
        QCOMPARE(run(at + u"write M.ConnectStatus 40000"_s), 1);
        QCOMPARE(run(at + u"read M.none"_s, u"^error op=read name=M.none code=1810 "_s), 2);
        QCOMPARE(run(at + u"write M.anfordErrText "_s + QString(256, u'z'), u"code=1813"_s), 2);
        QCOMPARE(run(at + u"bogus"_s), 1);

        QCOMPARE(run(at + u"stop"_s), 0);
        QVERIFY(sim.waitForLine(u"^state stop t=[0-9.]+ run=1$"_s));
        QCOMPARE(run(at + u"read M.anford"_s, u"code=1815"_s), 2);
        QCOMPARE(run(at + u"start"_s), 0);
        QVERIFY(sim.waitForLine(u"^state run t=[0-9.]+ run=2$"_s));
        // Nothing listens on a port that was just closed.
        sim.kill();
        QCOMPARE(run(at + u"read M.anford"_s, u"code=1801"_s), 2);
    }

    void declarationFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message"); // the refusal of an invalid file
        QTest::newRow("valid") << QByteArray(
                                      "# plant variables\n\nMain.flag BOOL := TRUE\nMain.count DINT := -5\n"
                                      "Main.name STRING(4) := ab\\tc\nMain.plain STRING\n")
                               << QString();
        QTest::newRow("unknown type") << QByteArray("A BOOL\nB REAL\n") << u":2: unknown type REAL"_s;
        QTest::newRow("duplicate") << QByteArray("A BOOL\na INT\n") << u":2: duplicate name a"_s;
        QTest::newRow("string too long") << QByteArray("S STRING(5000)\n") << u":1: unknown type"_s;
        QTest::newRow("initial value") << QByteArray("N INT := 99999\n") << u":1: invalid initial value"_s;
        QTest::newRow("no type") << QByteArray("justonename\n") << u":1: expected NAME TYPE"_s;
    }
    void declarationFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(content);
        file.flush();
        if (!message.isEmpty()) {
            QCOMPARE(run(u"serve --port 0 --vars "_s + file.fileName(), message), 1);
            return;
        }
        PlcSimProcess sim;
        QVERIFY(sim.start({u"--vars"_s, file.fileName(), u"--stopped"_s}));
        sim.command(u"list"_s);
        QTRY_COMPARE(sim.lines().join(u'\n').remove(QRegularExpression(u" port=\\d+"_s)),
                     u"listening host=127.0.0.1 variables=4 state=stop\nvar Main.flag BOOL true\n"
                     u"var Main.count DINT -5\nvar Main.name STRING(4) ab\\tc\nvar Main.plain STRING(80) \n"
                     u"end count=4"_s);
        sim.command(u"set Main.name toolong"_s);
        QVERIFY(sim.waitForLine(u"^error code=1813"_s));
        sim.command(u"get main.COUNT"_s);
        QVERIFY(sim.waitForLine(u"^value Main.count=-5$"_s));
    }
};

QTEST_GUILESS_MAIN(TestPlcSim)
#include "TestPlcSim.moc"
