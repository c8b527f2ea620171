// The runtime stand-in's request script, which other tests use to play the PLC program: it
// raises a request, sees it taken and reports the answer, and says when nobody takes it.
#include "PlcSimProcess.h"
#include "plc/KeloOcx.h"

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
    void requestScript()
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

        // An answer left from before is taken away and reported, not mistaken for the new one; the
        // script takes the answer back as the PLC program does.
        QCOMPARE(gateway.writeVarString(hRec, 8, u"old"_s), Ok);
        QCOMPARE(gateway.writeVarBool(hAntwort, 2, true), Ok);
        QCOMPARE(
            run(at + u"request --module L1 --data hi\\tthere --timeout-ms 5000"_s,
                u"\\Astale-answer data=old\nrequest module=L1 bytes=8 t=[0-9.]+\n"
                u"taken t=[0-9.]+\nanswer t=[0-9.]+ bytes=12 data=got:hi\\\\tthere\ndone t=[0-9.]+\n\\z"_s),
            0);
        bool answerFlag = true; // reset by the script once it has taken the answer
        QCOMPARE(gateway.readVarBool(hAntwort, 2, answerFlag), Ok);
        QVERIFY(!answerFlag);

        // Without a gateway nobody takes the request: the script says so and ends with code 3.
        QCOMPARE(gateway.disconnectVar(notify), Ok);
        QCOMPARE(run(at + u"request --module L1 --data x --timeout-ms 300"_s, u"^timeout stage=taken "_s), 3);
    }
};

QTEST_GUILESS_MAIN(TestPlcSim)
#include "TestPlcSim.moc"
