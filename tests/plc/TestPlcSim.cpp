// The runtime stand-in itself: its scripted PLC side, its console and declarations, and its
// resistance to clients that send garbage.
#include "PlcSimProcess.h"
#include "plc/KeloOcx.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>

using namespace plcproto;

class TestPlcSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(PlcSimProcess::program()), "build the plcsim target first");
    }
    void requestIsServedLikeByThePlc();
    void commandLineReadWriteAndControl();
    void declarationFile();
    void garbageFromClients();
};

namespace
{

int lineIndex(const QStringList &lines, const QString &pattern)
{
    const QRegularExpression re(pattern);
    for (int i = 0; i < lines.size(); ++i) {
        if (re.match(lines[i]).hasMatch())
            return i;
    }
    return -1;
}

} // namespace

void TestPlcSim::requestIsServedLikeByThePlc()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("L1")}));
    // The test plays the gateway: take the request, reset the flag, hand back an answer.
    KeloOcx gateway;
    gateway.setPort(sim.portText());
    qint32 hSend = 0, hAnford = 0, hRec = 0, hAntwort = 0, notify = 0;
    QCOMPARE(gateway.createVarHandle(QStringLiteral("L1.SendData"), hSend), Ok);
    QCOMPARE(gateway.createVarHandle(QStringLiteral("L1.anford"), hAnford), Ok);
    QCOMPARE(gateway.createVarHandle(QStringLiteral("L1.RecData"), hRec), Ok);
    QCOMPARE(gateway.createVarHandle(QStringLiteral("L1.antwort"), hAntwort), Ok);
    QStringList taken;
    connect(&gateway, &KeloLink::connectUpdate, this, [&](qint32, const QVariant &value, void *) {
        if (!value.toBool())
            return;
        QString data;
        QCOMPARE(gateway.readVarString(hSend, 2000, data), Ok);
        QCOMPARE(gateway.writeVarBool(hAnford, 2, false), Ok);
        taken << data;
        QTimer::singleShot(20, this, [&, data] {
            const QString answer = QStringLiteral("got:") + data;
            QCOMPARE(gateway.writeVarString(hRec, int(answer.size() * 2), answer), Ok);
            QCOMPARE(gateway.writeVarBool(hAntwort, 2, true), Ok);
        });
    });
    QCOMPARE(gateway.connectVar(QStringLiteral("L1.anford"), 4, 1, notify, nullptr), Ok);

    // An answer left from before is taken away and reported, not mistaken for the new one.
    sim.command(QStringLiteral("set L1.RecData old"));
    sim.command(QStringLiteral("set L1.antwort true"));
    QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("^value L1.antwort=true"))));

    QProcess script;
    script.start(PlcSimProcess::program(),
                 {QStringLiteral("request"), QStringLiteral("--port"), sim.portText(),
                  QStringLiteral("--module"), QStringLiteral("L1"), QStringLiteral("--data"),
                  QStringLiteral("hi\\tthere"), QStringLiteral("--timeout-ms"), QStringLiteral("5000")});
    QTRY_COMPARE_WITH_TIMEOUT(script.state(), QProcess::NotRunning, 8000);
    const QStringList out = QString::fromUtf8(script.readAllStandardOutput()).split(QLatin1Char('\n'));
    QCOMPARE(script.exitCode(), 0);
    QCOMPARE(taken, QStringList{QStringLiteral("hi\tthere")});
    const int stale = lineIndex(out, QStringLiteral("^stale-answer data=old$"));
    const int request = lineIndex(out, QStringLiteral("^request module=L1 bytes=8 t=[0-9.]+$"));
    const int take = lineIndex(out, QStringLiteral("^taken t=[0-9.]+$"));
    const int answer = lineIndex(out, QStringLiteral("^answer t=[0-9.]+ bytes=12 data=got:hi\\\\tthere$"));
    const int done = lineIndex(out, QStringLiteral("^done t=[0-9.]+$"));
    QVERIFY2(stale >= 0 && stale < request && request < take && take < answer && answer < done,
             qPrintable(out.join(QLatin1Char('|'))));
    // The PLC side reset the answer flag after taking the answer.
    bool flag = true;
    QCOMPARE(gateway.readVarBool(hAntwort, 2, flag), Ok);
    QCOMPARE(flag, false);

    // Without a gateway nobody takes the request: the script says so and ends with code 3.
    QCOMPARE(gateway.disconnectVar(notify), Ok);
    QStringList lines;
    QCOMPARE(PlcSimProcess::run({QStringLiteral("request"), QStringLiteral("--port"), sim.portText(),
                                 QStringLiteral("--module"), QStringLiteral("L1"), QStringLiteral("--data"),
                                 QStringLiteral("x"), QStringLiteral("--timeout-ms"), QStringLiteral("300")},
                                lines),
             3);
    QVERIFY(lineIndex(lines, QStringLiteral("^timeout stage=taken t=")) >= 0);
}

void TestPlcSim::commandLineReadWriteAndControl()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("M")}));
    const QStringList at{QStringLiteral("--port"), sim.portText()};
    QStringList out;
    QCOMPARE(PlcSimProcess::run(QStringList{QStringLiteral("write")} + at +
                                    QStringList{QStringLiteral("--"), QStringLiteral("M.ConnectStatus"),
                                                QStringLiteral("-12")},
                                out),
             0);
    QVERIFY(lineIndex(out, QStringLiteral("^written t=[0-9.]+ M.ConnectStatus=-12$")) >= 0);
    QCOMPARE(
        PlcSimProcess::run(QStringList{QStringLiteral("write")} + at +
                               QStringList{QStringLiteral("M.anfordErrText"), QStringLiteral("a\\0b\\\\")},
                           out),
        0);
    QCOMPARE(PlcSimProcess::run(
                 QStringList{QStringLiteral("read")} + at +
                     QStringList{QStringLiteral("M.ConnectStatus"), QStringLiteral("M.anfordErrText")},
                 out),
             0);
    QVERIFY(lineIndex(out, QStringLiteral("^value t=[0-9.]+ M.ConnectStatus=-12$")) >= 0);
    QVERIFY(lineIndex(out, QStringLiteral("^value t=[0-9.]+ M.anfordErrText=a\\\\0b\\\\\\\\$")) >= 0);

    QCOMPARE(PlcSimProcess::run(QStringList{QStringLiteral("write")} + at +
                                    QStringList{QStringLiteral("M.ConnectStatus"), QStringLiteral("40000")},
                                out),
             1);
    QCOMPARE(PlcSimProcess::run(
                 QStringList{QStringLiteral("read")} + at + QStringList{QStringLiteral("M.none")}, out),
             2);
    QVERIFY(lineIndex(out, QStringLiteral("^error op=read name=M.none code=1810 ")) >= 0);
    QCOMPARE(
        PlcSimProcess::run(QStringList{QStringLiteral("write")} + at +
                               QStringList{QStringLiteral("M.anfordErrText"), QString(256, QLatin1Char('z'))},
                           out),
        2);
    QVERIFY(lineIndex(out, QStringLiteral("code=1813")) >= 0);
    QCOMPARE(PlcSimProcess::run({QStringLiteral("bogus")}, out), 1);

    QCOMPARE(PlcSimProcess::run(QStringList{QStringLiteral("stop")} + at, out), 0);
    QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("^state stop t=[0-9.]+ run=1$"))));
    QCOMPARE(PlcSimProcess::run(
                 QStringList{QStringLiteral("read")} + at + QStringList{QStringLiteral("M.anford")}, out),
             2);
    QVERIFY(lineIndex(out, QStringLiteral("code=1815")) >= 0);
    QCOMPARE(PlcSimProcess::run(QStringList{QStringLiteral("start")} + at, out), 0);
    QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("^state run t=[0-9.]+ run=2$"))));

    // Nothing listens on a port that was just closed.
    sim.kill();
    QCOMPARE(PlcSimProcess::run(
                 QStringList{QStringLiteral("read")} + at + QStringList{QStringLiteral("M.anford")}, out),
             2);
    QVERIFY(lineIndex(out, QStringLiteral("code=1801")) >= 0);
}

void TestPlcSim::declarationFile()
{
    QTemporaryFile good;
    QVERIFY(good.open());
    good.write(
        "# plant variables\n\nMain.flag BOOL := TRUE\nMain.count DINT := -5\nMain.name STRING(4) := ab\\tc\n"
        "Main.plain STRING\n");
    good.flush();
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--vars"), good.fileName(), QStringLiteral("--stopped")}));
    QVERIFY(sim.lines().first().contains(QLatin1String("variables=4 state=stop")));
    sim.command(QStringLiteral("list"));
    QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("^end count=4$"))));
    const QStringList &l = sim.lines();
    QVERIFY(l.contains(QStringLiteral("var Main.flag BOOL true")));
    QVERIFY(l.contains(QStringLiteral("var Main.count DINT -5")));
    QVERIFY(l.contains(QStringLiteral("var Main.name STRING(4) ab\\tc")));
    QVERIFY(l.contains(QStringLiteral("var Main.plain STRING(80) ")));
    sim.command(QStringLiteral("set Main.name toolong"));
    QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("^error code=1813"))));
    sim.command(QStringLiteral("get main.COUNT"));
    QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("^value Main.count=-5$"))));

    const QList<QPair<QByteArray, QString>> bad = {
        {"A BOOL\nB REAL\n", QStringLiteral(":2: unknown type REAL")},
        {"A BOOL\na INT\n", QStringLiteral(":2: duplicate name a")},
        {"S STRING(5000)\n", QStringLiteral(":1: unknown type")},
        {"N INT := 99999\n", QStringLiteral(":1: invalid initial value")},
        {"justonename\n", QStringLiteral(":1: expected NAME TYPE")},
    };
    for (const auto &[content, message] : bad) {
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(content);
        file.flush();
        QStringList out;
        QCOMPARE(PlcSimProcess::run({QStringLiteral("serve"), QStringLiteral("--port"), QStringLiteral("0"),
                                     QStringLiteral("--vars"), file.fileName()},
                                    out),
                 1);
        QVERIFY2(!out.isEmpty() && out[0].contains(message), qPrintable(out.join(QLatin1Char('|'))));
    }
}

void TestPlcSim::garbageFromClients()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("G")}));
    KeloOcx good;
    good.setPort(sim.portText());
    QSignalSpy updates(&good, &KeloLink::connectUpdate);
    qint32 notify = 0;
    QCOMPARE(good.connectVar(QStringLiteral("G.anford"), 4, 1, notify, nullptr), Ok);

    Message reply;
    reply.type = MsgType::Ping;
    reply.reply = true;
    const QList<QByteArray> garbage = {
        QByteArray("GET / HTTP/1.0\r\n\r\n"), QByteArray("\xff\xff\xff\xff", 4) + QByteArray(100, 'a'),
        QByteArray("\x00\x00\x00\x05\x01\x00\x00\x00\x01", 9), // a greeting without its version
        encode(reply),                                         // replies are not requests
    };
    for (const QByteArray &bytes : garbage) {
        const int from = int(sim.lines().size());
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, sim.port());
        QVERIFY(raw.waitForConnected(2000));
        raw.write(bytes);
        QTRY_COMPARE(raw.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(
            sim.waitForLine(QRegularExpression(QStringLiteral("^client closed id=\\d+ reason=bad-frame$")),
                            2000, nullptr, from));
    }
    // The well-behaved client was served all along.
    sim.command(QStringLiteral("set G.anford true"));
    QTRY_COMPARE(updates.size(), 2);
    QCOMPARE(updates[1][1], QVariant(true));
    qint32 h = 0;
    QCOMPARE(good.createVarHandle(QStringLiteral("G.anford"), h), Ok);
}

QTEST_GUILESS_MAIN(TestPlcSim)
#include "TestPlcSim.moc"
