// The options of the instance options file that close the hazards of the described behaviour,
// each against the real program and the stand-ins: first with the option off (the hazard, as a
// PLC program has always met it), then switched on by a reload (the cure).
#include "GatewayInstance.h"

#include <QTcpSocket>

namespace
{

// The values the gateway wrote into a PLC variable, in order, from the runtime's trace.
QStringList written(const PlcSimProcess &plc, const QString &variable)
{
    QStringList out;
    const QRegularExpression write(QStringLiteral(" ") + QRegularExpression::escape(variable) +
                                   QStringLiteral("=(.*)$"));
    for (const QString &line : plc.lines())
        if (const auto m = write.match(line); line.startsWith(QLatin1String("write ")) && m.hasMatch())
            out << m.captured(1);
    return out;
}

// The data of every answer the PLC program took, in order.
QStringList answers(const PlcSimProcess &plc, int fromLine = 0)
{
    QStringList out;
    const QRegularExpression answer(QStringLiteral("^plc answer .* data=(.*)$"));
    for (const QString &line : plc.lines().mid(fromLine))
        if (const auto m = answer.match(line); m.hasMatch())
            out << m.captured(1);
    return out;
}

bool reload(GatewayInstance &in, const QByteArray &ini)
{
    if (!in.writeOptions(ini))
        return false;
    const qsizetype before = in.entries("Instance options reloaded").size();
    in.signal(SIGHUP);
    return QTest::qWaitFor([&] { return in.entries("Instance options reloaded").size() > before; }, 10000);
}

// The printer stand-in with these arguments, the PLC runtime stand-in (module LS, traced, with
// these arguments) and the gateway between them, with the configuration as the test left it.
bool startLine(GatewayInstance &in, QProcess &printer, PlcSimProcess &plc, const QStringList &printerArgs,
               const QStringList &plcArgs = {})
{
    in.config.remotePort = startPrinter(printer, printerArgs);
    if (!in.config.remotePort || !plc.start(QStringList{"--module", "LS", "--trace"} + plcArgs))
        return false;
    in.config.plcPort = plc.port();
    if (!in.writeConfig())
        return false;
    in.start();
    return plcArgs.isEmpty() ? plc.waitForLine("op=subscribe", 10000) : true;
}

} // namespace

class TestLineSafetyOptions : public QObject
{
    Q_OBJECT

private slots:
    // A printer that refuses every connection: with a connection per request the job is dropped
    // and the PLC hears nothing. reportPeerFailures gives it code 3001 and the reason; with a
    // static connection that never comes up, maxQueuedItems refuses what would queue beyond it.
    void refusedPrinterAndBoundedQueue()
    {
        GatewayInstance in;
        QProcess printer;
        PlcSimProcess plc;
        in.config.staticConnection = false;
        QVERIFY(startLine(in, printer, plc, {"--refuse"}));

        plcRequest(plc, "R1");
        QTRY_VERIFY_WITH_TIMEOUT(!in.entries("Winsock Error").isEmpty(), 10000);
        QTest::qWait(700); // the tick that drops it
        QCOMPARE(written(plc, "LS.anfordErr"), QStringList());

        QVERIFY(reload(in, "[safety]\nreportPeerFailures = true\nmaxQueuedItems = 1\n"));
        plcRequest(plc, "R2");
        QTRY_VERIFY2_WITH_TIMEOUT(written(plc, "LS.anfordErr") == QStringList{"3001"},
                                  qPrintable(in.entries().mid(3).join('\n')), 10000);
        QVERIFY2(written(plc, "LS.anfordErrText").value(0).contains("Request dropped after a socket error"),
                 qPrintable(written(plc, "LS.anfordErrText").join('\n')));
        QVERIFY(written(plc, "LS.anfordErrText").value(0).endsWith(": R2"));

        // A static connection to the refusing printer: requests wait, the second is refused.
        in.config.staticConnection = true;
        QVERIFY(in.writeConfig());
        in.signal(SIGHUP);
        plcRequest(plc, "R3");
        plcRequest(plc, "R4");
        QTRY_COMPARE(written(plc, "LS.anfordErr"), (QStringList{"3001", "3008"}));
        QVERIFY(
            written(plc, "LS.anfordErrText").last().contains("Request refused: 1 requests wait to be sent"));
        QVERIFY(in.entries(" Send Data:R4").size() == 1);
    }

    // A printer that answers in pieces: each piece reaches the PLC as an answer of its own.
    // answerFraming = line joins them into one; a printer that closes in the middle of an answer
    // then gives no fragment to the PLC but code 3005.
    void framedAnswers()
    {
        GatewayInstance in;
        QProcess dripping, cutting;
        PlcSimProcess plc;
        const quint16 cuttingPort = startPrinter(cutting, {"--reply", "A %r", "--close"});
        QVERIFY(cuttingPort &&
                startLine(in, dripping, plc, {"--reply", "A %r\\r\\n", "--pieces", "3", "--gap-ms", "150"},
                          {"--plc", "LS", "--every", "1500", "--data", "R{n}"}));
        QTRY_VERIFY_WITH_TIMEOUT(answers(plc).size() >= 3, 15000);
        QVERIFY2(!answers(plc).contains("A R1"), qPrintable(answers(plc).join('|'))); // fragments only

        QVERIFY(reload(in, "[safety]\nanswerFraming = line\nreportPeerFailures = true\n"));
        QTest::qWait(1000); // fragments of the answer in progress may still come
        const int from = int(plc.lines().size());
        QTRY_VERIFY_WITH_TIMEOUT(answers(plc, from).size() >= 2, 15000);
        for (const QString &answer : answers(plc, from))
            QVERIFY2(QRegularExpression("^A R\\d+$").match(answer).hasMatch(), qPrintable(answer));

        in.config.remotePort = cuttingPort;
        QVERIFY(in.writeConfig());
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(written(plc, "LS.anfordErr").contains("3005"), 15000);
        QVERIFY(!in.entries("Answer cut short: the connection ended after").isEmpty());
        const int cutFrom = int(plc.lines().size());
        QTest::qWait(2000);
        QVERIFY2(answers(plc, cutFrom).isEmpty(), qPrintable(answers(plc, cutFrom).join('|')));
    }

    // A printer that answers after the PLC program has moved on: its answer is handed over while
    // the PLC waits for the next request's. With answerTimeoutSec the request is ended with code
    // 3004, and with dropLateAnswers the late answer is logged and dropped; answers of requests
    // sent before the reload still reach the PLC.
    void lateAnswers()
    {
        GatewayInstance in;
        QProcess printer;
        PlcSimProcess plc;
        QVERIFY(startLine(in, printer, plc, {"--reply", "A %r\\n", "--delay-ms", "2500"},
                          {"--plc", "LS", "--every", "3000", "--data", "R{n}"}));
        // The answer to R1 comes while the PLC's request R2 is the open one.
        QVERIFY(plc.waitForLine("^plc answer .*data=A R1\\\\n$", 15000));
        const auto requestTwo = plc.lines().indexOf(QRegularExpression("plc request n=2 .*"));
        const auto answerOne = plc.lines().indexOf(QRegularExpression("^plc answer .*data=A R1\\\\n$"));
        QVERIFY2(requestTwo >= 0 && requestTwo < answerOne,
                 qPrintable(plc.lines().filter("plc ").join('\n')));

        QVERIFY(reload(in, "[safety]\nanswerFraming = line\nanswerTimeoutSec = 1\ndropLateAnswers = true\n"
                           "reportPeerFailures = true\n"));
        // Answers come in order: once the first late one has come, no earlier one is owed.
        QTRY_VERIFY_WITH_TIMEOUT(in.entries("Late answer dropped: A R").size() == 1, 20000);
        const int from = int(plc.lines().size());
        QTRY_VERIFY_WITH_TIMEOUT(in.entries("Late answer dropped: A R").size() >= 3, 20000);
        QVERIFY2(answers(plc, from).isEmpty(), qPrintable(answers(plc, from).join('|')));
        QVERIFY(written(plc, "LS.anfordErr").contains("3004"));
        QVERIFY(written(plc, "LS.anfordErrText").last().contains("No answer within 1 s: R"));
    }

    // A print-data database that cannot be read: the label goes out with its placeholders
    // stripped and the PLC hears nothing. requirePrintData sends no label and gives the PLC the
    // label error.
    void labelsWithoutPrintData()
    {
        GatewayInstance in;
        QProcess printer;
        PlcSimProcess plc;
        QVERIFY(in.write("/Labels/defaultLabel.xml", "<label><v>#version#</v><a>#ART#</a></label>"));
        QVERIFY(QDir().mkpath(in.dir.filePath("Data/System")));
        QVERIFY(in.write("/../Data/System/prog.mdb", QByteArray(4096, '\x5a')));
        QVERIFY(startLine(in, printer, plc, {}));

        plcRequest(plc, "/SetLabel=1##L1#2");
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += printer.readAll()).contains("request bytes="), 10000);
        QVERIFY2(seen.contains("ART"), seen.constData()); // the placeholder as a plain word
        QCOMPARE(written(plc, "LS.anfordErr"), QStringList());

        QVERIFY(reload(in, "[safety]\nrequirePrintData = true\n"));
        plcRequest(plc, "/SetLabel=1##L1#2");
        QTRY_COMPARE(written(plc, "LS.anfordErr"), QStringList{"1"});
        QVERIFY(written(plc, "LS.anfordErrText").value(0).endsWith("Error no print data found!"));
        QTest::qWait(3000);
        QVERIFY(
            !(seen += printer.readAll()).mid(seen.indexOf("request bytes=") + 1).contains("request bytes="));
    }

    // The server role: any host that connects takes the connection over. With allowedPeers a
    // host it does not name is closed at once and logged, while the allowed peer keeps the
    // connection; an allowed newcomer still takes over.
    void allowedPeersInTheServerRole()
    {
        GatewayInstance in;
        in.config.server = true;
        in.config.remotePort = freePort();
        QVERIFY(in.writeConfig());
        in.start();
        const auto connectFrom = [&](QTcpSocket &socket, const char *source) {
            for (int attempt = 0; attempt < 50; ++attempt) {
                socket.abort();
                socket.bind(QHostAddress(QString::fromLatin1(source)));
                socket.connectToHost(QHostAddress::LocalHost, in.config.remotePort);
                if (socket.waitForConnected(5000))
                    return true;
                QTest::qWait(200); // not listening yet
            }
            return false;
        };
        const auto closedSoon = [](QTcpSocket &socket) {
            return socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(3000);
        };
        QTcpSocket first, stranger;
        QVERIFY(connectFrom(first, "127.0.0.1"));
        QTRY_COMPARE(in.entries("send request ").size(), 1);
        QVERIFY(connectFrom(stranger, "127.0.0.2"));
        QVERIFY(closedSoon(first)); // taken over by a host nobody named

        QVERIFY(reload(in, "[safety]\nallowedPeers = 127.0.0.1, ::1\n"));
        QTcpSocket allowed, intruder, newcomer;
        QVERIFY(connectFrom(allowed, "127.0.0.1"));
        QTRY_COMPARE(in.entries("send request ").size(), 3);
        QVERIFY(connectFrom(intruder, "127.0.0.2"));
        QVERIFY(closedSoon(intruder));
        QTRY_COMPARE(in.entries("Connection refused: 127.0.0.2 is not an allowed peer").size(), 1);
        QVERIFY(!allowed.waitForDisconnected(500));
        QCOMPARE(allowed.state(), QAbstractSocket::ConnectedState);
        QVERIFY(connectFrom(newcomer, "127.0.0.1"));
        QVERIFY(closedSoon(allowed));
    }
};

QTEST_GUILESS_MAIN(TestLineSafetyOptions)
#include "TestLineSafetyOptions.moc"
