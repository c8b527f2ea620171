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

// Runs plcsim with the blank-separated arguments while this process keeps serving its events: its
// exit code, or -1 when it hangs or its output does not match the (multi-line) pattern.
int run(const QString &args, const QString &pattern = {})
{
    QProcess p;
    p.start(PlcSimProcess::program(), args.split(u' '));
    const bool ended = QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 8000);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
    return ended && re.match(out).hasMatch() ? p.exitCode() : (qWarning() << out, -1);
}

} // namespace

class TestPlcSim : public QObject
{
    Q_OBJECT

private slots:
    void servesRequestsAndCommandLine()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start({u"--module"_s, u"L1"_s}));
        const QString at = u"--port "_s + sim.portText() + u' ';
        // The test plays the gateway: take the request, reset the flag, hand back an answer.
        KeloOcx gateway;
        gateway.setPort(sim.portText());
        qint32 hSend = 0, hAnford = 0, hRec = 0, hAntwort = 0, notify = 0;
        for (const auto &[name, handle] : {std::pair{"SendData", &hSend},
                                           {"anford", &hAnford},
                                           {"RecData", &hRec},
                                           {"antwort", &hAntwort}})
            QCOMPARE(gateway.createVarHandle(u"L1."_s + QLatin1String(name), *handle), Ok);
        connect(&gateway, &KeloLink::connectUpdate, this, [&](qint32, const QVariant &value, void *) {
            QString data;
            if (!value.toBool() || gateway.readVarString(hSend, 2000, data) != Ok)
                return;
            QCOMPARE(gateway.writeVarBool(hAnford, 2, false), Ok);
            QTimer::singleShot(20, this, [&, answer = u"got:"_s + data] {
                QCOMPARE(gateway.writeVarString(hRec, int(answer.size() * 2), answer), Ok);
                QCOMPARE(gateway.writeVarBool(hAntwort, 2, true), Ok);
            });
        });
        QCOMPARE(gateway.connectVar(u"L1.anford"_s, 4, 1, notify, nullptr), Ok);

        // Clients that send garbage (text; a well-formed reply, which is no request) are dropped;
        // the gateway is served all along.
        for (const QByteArray &bytes :
             {QByteArray("GET / HTTP/1.0\r\n\r\n"),
              QByteArray("\x00\x00\x00\x09\x48\x00\x00\x00\x01\x00\x00\x00\x00", 13)}) {
            const int from = int(sim.lines().size());
            QTcpSocket raw;
            raw.connectToHost(QHostAddress::LocalHost, sim.port());
            raw.write(bytes);
            QTRY_COMPARE(raw.state(), QAbstractSocket::UnconnectedState);
            QVERIFY(sim.waitForLine(u"^client closed id=\\d+ reason=bad-frame$"_s, 2000, from));
        }

        // An answer left from before is taken away and reported, not mistaken for the new one; the
        // PLC side resets the answer flag after taking the answer.
        QCOMPARE(run(at + u"write L1.RecData a\\0b\\\\"_s), 0);
        QCOMPARE(run(at + u"write L1.antwort true"_s), 0);
        QCOMPARE(
            run(at + u"request --module L1 --data hi\\tthere --timeout-ms 5000"_s,
                u"\\Astale-answer data=a\\\\0b\\\\\\\\\nrequest module=L1 bytes=8 t=[0-9.]+\n"
                u"taken t=[0-9.]+\nanswer t=[0-9.]+ bytes=12 data=got:hi\\\\tthere\ndone t=[0-9.]+\n\\z"_s),
            0);
        QCOMPARE(run(at + u"read L1.antwort"_s, u"^value t=[0-9.]+ L1.antwort=false$"_s), 0);

        // Without a gateway nobody takes the request: the script says so and ends with code 3.
        QCOMPARE(gateway.disconnectVar(notify), Ok);
        QCOMPARE(run(at + u"request --module L1 --data x --timeout-ms 300"_s, u"^timeout stage=taken "_s), 3);

        QCOMPARE(run(at + u"write -- L1.ConnectStatus -12"_s, u"^written t=[0-9.]+ L1.ConnectStatus=-12$"_s),
                 0);
        QCOMPARE(
            run(at + u"read L1.ConnectStatus L1.RecData"_s,
                u"^value t=[0-9.]+ L1.ConnectStatus=-12\nvalue t=[0-9.]+ L1.RecData=got:hi\\\\tthere$"_s),
            0);
        QCOMPARE(run(at + u"write L1.ConnectStatus 40000"_s), 1);
        QCOMPARE(run(at + u"read L1.none"_s, u"^error op=read name=L1.none code=1810 "_s), 2);
        QCOMPARE(run(at + u"write L1.anfordErrText "_s + QString(256, u'z'), u"code=1813"_s), 2);
        QCOMPARE(run(at + u"bogus"_s), 1);

        QCOMPARE(run(at + u"stop"_s), 0);
        QVERIFY(sim.waitForLine(u"^state stop t=[0-9.]+ run=1$"_s));
        QCOMPARE(run(at + u"read L1.anford"_s, u"code=1815"_s), 2);
        QCOMPARE(run(at + u"start"_s), 0);
        QVERIFY(sim.waitForLine(u"^state run t=[0-9.]+ run=2$"_s));
        // Nothing listens on a port that was just closed.
        sim.kill();
        QCOMPARE(run(at + u"read L1.anford"_s, u"code=1801"_s), 2);
    }

    void declarationFile()
    {
        // An invalid file is refused with its line and fault; a valid one gives its variables.
        for (const auto &[content, message] : {std::pair{"A BOOL\nB REAL\n", ":2: unknown type REAL"},
                                               {"A BOOL\na INT\n", ":2: duplicate name a"},
                                               {"N INT := 99999\n", ":1: invalid initial value"},
                                               {"justonename\n", ":1: expected NAME TYPE"}}) {
            QTemporaryFile bad;
            QVERIFY(bad.open() && bad.write(content) > 0 && bad.flush());
            QCOMPARE(run(u"serve --port 0 --vars "_s + bad.fileName(), QString::fromLatin1(message)), 1);
        }
        QTemporaryFile file;
        QVERIFY(file.open() &&
                file.write("# plant variables\n\nMain.flag BOOL := TRUE\nMain.count DINT := -5\n"
                           "Main.name STRING(4) := ab\\tc\nMain.plain STRING\n") > 0 &&
                file.flush());
        PlcSimProcess sim;
        QVERIFY(sim.start({u"--vars"_s, file.fileName(), u"--stopped"_s}));
        sim.command(u"list"_s);
        QTRY_COMPARE(sim.lines().join(u'\n').remove(QRegularExpression(u" port=\\d+"_s)),
                     u"listening host=127.0.0.1 variables=4 state=stop\nvar Main.flag BOOL true\n"
                     u"var Main.count DINT -5\nvar Main.name STRING(4) ab\\tc\nvar Main.plain STRING(80) \n"
                     u"end count=4"_s);
    }
};

QTEST_GUILESS_MAIN(TestPlcSim)
#include "TestPlcSim.moc"
