// The options of the instance options file that close the hazards a PLC program has always met,
// each against the real program and the stand-ins: switched on at the start or by a reload, and
// once, for framed answers, first with the options off (the hazard).
#include "GatewayInstance.h"

#include <QTcpSocket>

namespace
{

// The first group of every line of the runtime's trace (from a line on) that matches.
QStringList traced(const PlcSimProcess &plc, const QString &pattern, int fromLine = 0)
{
    QStringList out;
    const QRegularExpression re(pattern);
    for (const QString &line : plc.lines().mid(fromLine))
        if (const auto m = re.match(line); m.hasMatch())
            out << m.captured(1);
    return out;
}

// The values the gateway wrote into a PLC variable, in order.
QStringList written(const PlcSimProcess &plc, const QString &variable)
{
    return traced(plc, "^write (?:.* )?" + QRegularExpression::escape(variable) + "=(.*)$");
}

// The data of every answer the PLC program took, in order.
QStringList answers(const PlcSimProcess &plc, int fromLine = 0)
{
    return traced(plc, "^plc answer .* data=(.*)$", fromLine);
}

// The printer stand-in with these arguments, the PLC runtime stand-in (module LS, traced, with
// these arguments) and the gateway between them, with these instance options and the
// configuration as the test left it.
bool startLine(GatewayInstance &in, QProcess &printer, PlcSimProcess &plc, const QByteArray &options,
               const QStringList &printerArgs, const QStringList &plcArgs = {})
{
    in.config.remotePort = startPrinter(printer, printerArgs);
    if (!in.config.remotePort || !plc.start(QStringList{"--module", "LS", "--trace"} + plcArgs))
        return false;
    in.config.plcPort = plc.port();
    if (!in.writeConfig() || !in.writeOptions(options))
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
        QVERIFY(startLine(in, printer, plc, "[safety]\nreportPeerFailures = true\nmaxQueuedItems = 1\n",
                          {"--refuse"}));
        plcRequest(plc, "R2");
        QTRY_COMPARE_WITH_TIMEOUT(written(plc, "LS.anfordErr"), QStringList{"3001"}, 10000);
        QVERIFY(written(plc, "LS.anfordErrText").value(0).contains("Request dropped after a socket error"));

        // A static connection to the refusing printer: requests wait, the second is refused.
        in.config.staticConnection = true;
        QVERIFY(in.writeConfig());
        in.signal(SIGHUP);
        plcRequest(plc, "R3");
        plcRequest(plc, "R4");
        QTRY_COMPARE(written(plc, "LS.anfordErr"), (QStringList{"3001", "3008"}));
        QVERIFY(
            written(plc, "LS.anfordErrText").last().contains("Request refused: 1 requests wait to be sent"));
    }

    // A printer that answers in pieces: with the options off (as a PLC program has always met
    // it) each piece reaches the PLC as an answer of its own. answerFraming = line joins them
    // into one; a printer that closes in the middle of an answer then gives no fragment to the
    // PLC but code 3005, and an answer over answerMaxBytes code 3006.
    void framedAnswers()
    {
        GatewayInstance in;
        QProcess dripping, cutting;
        PlcSimProcess plc;
        const quint16 cuttingPort = startPrinter(cutting, {"--reply", "A %r", "--close"});
        QVERIFY(cuttingPort && startLine(in, dripping, plc, {},
                                         {"--reply", "A %r\\r\\n", "--pieces", "3", "--gap-ms", "150"},
                                         {"--plc", "LS", "--every", "1500", "--data", "R{n}"}));
        QTRY_VERIFY_WITH_TIMEOUT(answers(plc).size() >= 3, 15000);
        QVERIFY2(!answers(plc).contains("A R1"), qPrintable(answers(plc).join('|'))); // fragments only

        QVERIFY(in.writeOptions("[safety]\nanswerFraming = line\nreportPeerFailures = true\n"));
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(!in.entries("Instance options reloaded").isEmpty(), 10000);
        QTest::qWait(1000); // fragments of the answer in progress may still come
        const int from = int(plc.lines().size());
        QTRY_VERIFY_WITH_TIMEOUT(answers(plc, from).size() >= 2, 15000);
        for (const QString &answer : answers(plc, from))
            QVERIFY2(QRegularExpression("^A R\\d+$").match(answer).hasMatch(), qPrintable(answer));

        const quint16 drippingPort = in.config.remotePort;
        in.config.remotePort = cuttingPort;
        QVERIFY(in.writeConfig());
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(written(plc, "LS.anfordErr").contains("3005"), 15000);

        // An answer longer than answerMaxBytes is dropped whole: code 3006.
        in.config.remotePort = drippingPort;
        QVERIFY(in.writeConfig() &&
                in.writeOptions(
                    "[safety]\nanswerFraming = line\nreportPeerFailures = true\nanswerMaxBytes = 3\n"));
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(written(plc, "LS.anfordErr").contains("3006"), 15000);
    }

    // A printer that answers after the PLC program has moved on: with answerTimeoutSec the
    // request is ended with code 3004, and with dropLateAnswers the late answer is logged and
    // dropped instead of being handed over while the PLC waits for the next request's.
    void lateAnswers()
    {
        GatewayInstance in;
        QProcess printer;
        PlcSimProcess plc;
        QVERIFY(startLine(in, printer, plc,
                          "[safety]\nanswerFraming = line\nanswerTimeoutSec = 1\ndropLateAnswers = true\n"
                          "reportPeerFailures = true\n",
                          {"--reply", "A %r\\n", "--delay-ms", "2500"},
                          {"--plc", "LS", "--every", "3000", "--data", "R{n}"}));
        QTRY_VERIFY_WITH_TIMEOUT(in.entries("Late answer dropped: A R").size() >= 2, 20000);
        QVERIFY2(answers(plc).isEmpty(), qPrintable(answers(plc).join('|')));
        QVERIFY(written(plc, "LS.anfordErr").contains("3004"));
        QVERIFY(written(plc, "LS.anfordErrText").last().contains("No answer within 1 s: R"));
    }

    // No print-data database: requirePrintData sends no label (instead of one
    // with its placeholders stripped) and gives the PLC the label error.
    void labelsWithoutPrintData()
    {
        GatewayInstance in;
        QProcess printer;
        PlcSimProcess plc;
        QVERIFY(in.write("/Labels/defaultLabel.xml", "<label><v>#version#</v><a>#ART#</a></label>"));
        QVERIFY(startLine(in, printer, plc, "[safety]\nrequirePrintData = true\n", {}));
        plcRequest(plc, "/SetLabel=1##L1#2");
        QTRY_COMPARE(written(plc, "LS.anfordErr"), QStringList{"1"});
        QVERIFY(written(plc, "LS.anfordErrText").value(0).endsWith("Error no print data found!"));
        QTest::qWait(1000);
        QVERIFY(!printer.readAll().contains("request bytes="));
    }

    // The server role with allowedPeers: an allowed newcomer takes the connection over, while a
    // host it does not name is closed at once and logged and the allowed peer keeps it.
    void allowedPeersInTheServerRole()
    {
        GatewayInstance in;
        in.config.server = true;
        in.config.remotePort = freePort();
        QVERIFY(in.writeOptions("[safety]\nallowedPeers = 127.0.0.1, ::1\n") && in.writeConfig());
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
        // The first connection waits for the listening port; the second, allowed, takes it over.
        QTcpSocket first, allowed, intruder;
        QVERIFY(connectFrom(first, "127.0.0.1"));
        QTRY_COMPARE(in.entries("send request ").size(), 1);
        QVERIFY(connectFrom(allowed, "127.0.0.1"));
        QVERIFY(closedSoon(first));
        QVERIFY(connectFrom(intruder, "127.0.0.2"));
        QVERIFY(closedSoon(intruder));
        QTRY_COMPARE(in.entries("Connection refused: 127.0.0.2 is not an allowed peer").size(), 1);
        QVERIFY(!allowed.waitForDisconnected(500) && allowed.state() == QAbstractSocket::ConnectedState);
    }
};

QTEST_GUILESS_MAIN(TestLineSafetyOptions)
#include "TestLineSafetyOptions.moc"
