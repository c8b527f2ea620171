// Framed answers after a bad frame, against the real program on a static connection with the
// recommended options: each bad frame (a length beyond the bound or beyond what arrives, a
// length that is no number, an answer whose end never comes) ends its own request with a code,
// and the well-formed answer that follows reaches the next request.
#include "GatewayInstance.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace
{

// The codes the gateway wrote into .anfordErr, in order, without the zeros.
QStringList codes(const PlcSimProcess &plc)
{
    QStringList out;
    static const QRegularExpression re(u"^write (?:.* )?LS\\.anfordErr=(.*)$"_s);
    for (const QString &line : plc.lines())
        if (const auto m = re.match(line); m.hasMatch() && m.captured(1) != u"0"_s)
            out << m.captured(1);
    return out;
}

// A request of the PLC; the answer it took, or nothing.
QString request(const PlcSimProcess &plc, const QString &data, int timeoutMs)
{
    QProcess p;
    p.start(PlcSimProcess::program(), {u"request"_s, u"--port"_s, plc.portText(), u"--module"_s, u"LS"_s,
                                       u"--data"_s, data, u"--timeout-ms"_s, QString::number(timeoutMs)});
    // The printer of the test answers meanwhile: the event loop runs.
    QDeadlineTimer deadline(timeoutMs + 5000);
    while (p.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(20);
    const auto m = QRegularExpression(u"^answer .*data=(.*)$"_s, QRegularExpression::MultilineOption)
                       .match(QString::fromUtf8(p.readAllStandardOutput()));
    return m.captured(1).trimmed();
}

} // namespace

class TestAnswerRecovery : public QObject
{
    Q_OBJECT

private slots:
    void aBadFrameCostsOnlyItsOwnRequest()
    {
        // The printer answers each job with what the test has set for it.
        QHash<QByteArray, QByteArray> replies;
        QTcpServer printer;
        QVERIFY(printer.listen(QHostAddress::LocalHost, 0));
        int connections = 0;
        connect(&printer, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = printer.nextPendingConnection()) {
                ++connections;
                connect(s, &QTcpSocket::readyRead, s, [s, &replies] {
                    const QByteArray job = s->readAll().trimmed();
                    s->write(replies.value(job));
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        GatewayInstance in;
        PlcSimProcess plc;
        QVERIFY(plc.start({u"--module"_s, u"LS"_s, u"--trace"_s}));
        in.config.plcPort = plc.port();
        in.config.remotePort = printer.serverPort();
        const QByteArray safety = "[safety]\nreportPeerFailures = true\nanswerTimeoutSec = 1\n"
                                  "dropLateAnswers = true\nanswerMaxBytes = 64\n";
        QVERIFY(in.writeConfig() && in.writeOptions(safety + "answerFraming = length\n"));
        in.start();
        QVERIFY(plc.waitForLine(u"op=subscribe"_s, 10000));

        QStringList expected;
        int n = 0;
        const auto badThenGood = [&](const QByteArray &bad, const QString &code,
                                     const QByteArray &goodFrame) {
            ++n;
            const QByteArray b = "B" + QByteArray::number(n), g = "G" + QByteArray::number(n);
            replies[b] = bad;
            replies[g] = QByteArray(goodFrame).replace("%", "A " + g);
            expected << code;
            request(plc, QString::fromLatin1(b), 2500);
            QTRY_COMPARE_WITH_TIMEOUT(codes(plc), expected, 5000);
            const QString answer = request(plc, QString::fromLatin1(g), 8000);
            if (answer != u"A "_s + QString::fromLatin1(g))
                for (const QString &e : in.entries())
                    qWarning("%s", qPrintable(e));
            QCOMPARE(answer, u"A "_s + QString::fromLatin1(g));
        };

        const QByteArray lengthFrame = "Content-Length: 4\r\n\r\n%";
        // A length beyond answerMaxBytes, of which only a little comes.
        badThenGood("Content-Length: 5000\r\n\r\nxx", u"3006"_s, lengthFrame);
        // A negative length, and one that is no number, each with a body.
        badThenGood("Content-Length: -3\r\n\r\nxyz", u"3009"_s, lengthFrame);
        badThenGood("Content-Length: many\n\nxyz", u"3009"_s, lengthFrame);
        // A length within the bound, far beyond what arrives: the answer time-out ends it.
        badThenGood("Content-Length: 40\r\n\r\nshort", u"3004"_s, lengthFrame);
        // One event, one record: the time-out's line stands once in the log.
        QCOMPARE(in.entries(u"No answer within 1 s: B4"_s).size(), 1);
        QVERIFY(!in.entries(u"Answers out of step after a bad frame"_s).isEmpty());

        // Line and terminator framing: an answer that never ends within answerMaxBytes.
        const auto reload = [&](const QByteArray &framing) {
            const qsizetype before = in.entries(u"Instance options reloaded"_s).size();
            QVERIFY(in.writeOptions(safety + framing));
            in.signal(SIGHUP);
            QTRY_VERIFY_WITH_TIMEOUT(in.entries(u"Instance options reloaded"_s).size() > before, 10000);
        };
        reload("answerFraming = line\n");
        badThenGood(QByteArray(100, 'x'), u"3006"_s, "%\r\n");
        reload("answerFraming = terminator\nanswerTerminator = \\x03\n");
        badThenGood(QByteArray(100, 'y'), u"3006"_s, "%\x03");
        // Each bad frame took its connection with it, nothing more.
        QVERIFY2(connections <= 1 + n, qPrintable(QString::number(connections)));
        QVERIFY(in.stop());
    }

    // A printer that takes a little of the job and closes: the job ends with a code (no answer
    // after the send, or not sent completely), once, and the next job goes through.
    void aPrinterThatClosesAfterTakingAJob()
    {
        QTcpServer printer;
        QVERIFY(printer.listen(QHostAddress::LocalHost, 0));
        int connections = 0;
        connect(&printer, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = printer.nextPendingConnection()) {
                const bool rude = connections++ == 0;
                connect(s, &QTcpSocket::readyRead, s, [s, rude] {
                    if (rude) {
                        s->read(1);
                        s->close(); // what it has not read makes it a reset
                    } else {
                        s->write("A " + s->readAll().trimmed() + "\n");
                    }
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        GatewayInstance in;
        PlcSimProcess plc;
        QVERIFY(plc.start({u"--module"_s, u"LS"_s, u"--trace"_s}));
        in.config.plcPort = plc.port();
        in.config.remotePort = printer.serverPort();
        QVERIFY(in.writeConfig() &&
                in.writeOptions("[safety]\nreportPeerFailures = true\nanswerTimeoutSec = 3\n"
                                "answerFraming = line\ndropLateAnswers = true\n"));
        in.start();
        QVERIFY(plc.waitForLine(u"op=subscribe"_s, 10000));
        QTRY_VERIFY_WITH_TIMEOUT(connections == 1, 10000);
        request(plc, QString(300, u'j'), 2000);
        QTRY_VERIFY_WITH_TIMEOUT(!codes(plc).isEmpty(), 6000);
        const QString code = codes(plc).first();
        QVERIFY2(code == u"3004"_s || code == u"3002"_s, qPrintable(code));
        const QString said = code == u"3004"_s ? u"No answer: the connection ended first: jjj"_s
                                               : u"Request not sent completely: jjj"_s;
        QTRY_COMPARE(in.entries(said).size(), 1);
        QCOMPARE(request(plc, u"J2"_s, 8000), u"A J2"_s);
        QVERIFY(in.stop());
    }

    // A connection per request: closed right after the send as always, unless answerTimeoutSec
    // is set; then it stays until the answer is whole, which reaches the PLC, or the time is up.
    void answersOnConnectionsPerRequest()
    {
        QTcpServer printer;
        QVERIFY(printer.listen(QHostAddress::LocalHost, 0));
        connect(&printer, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = printer.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [s] {
                    const QByteArray job = s->readAll().trimmed();
                    // In two pieces, a while after the job; none for a job named "mute".
                    if (job != "mute")
                        QTimer::singleShot(300, s, [s, job] {
                            s->write("A ");
                            QTimer::singleShot(100, s, [s, job] { s->write(job + "\n"); });
                        });
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        GatewayInstance in;
        PlcSimProcess plc;
        QVERIFY(plc.start({u"--module"_s, u"LS"_s, u"--trace"_s}));
        in.config.plcPort = plc.port();
        in.config.remotePort = printer.serverPort();
        in.config.staticConnection = false;
        QVERIFY(in.writeConfig() &&
                in.writeOptions("[safety]\nreportPeerFailures = true\nanswerFraming = line\n"));
        in.start();
        QVERIFY(plc.waitForLine(u"op=subscribe"_s, 10000));
        QCOMPARE(request(plc, u"P1"_s, 2500), QString());
        QTRY_COMPARE(in.entries(u"Send Complete => Close after send"_s).size(), 1);

        const qsizetype reloads = in.entries(u"Instance options reloaded"_s).size();
        QVERIFY(in.writeOptions(
            "[safety]\nreportPeerFailures = true\nanswerFraming = line\nanswerTimeoutSec = 2\n"));
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(in.entries(u"Instance options reloaded"_s).size() > reloads, 10000);
        QCOMPARE(request(plc, u"P2"_s, 8000), u"A P2"_s);
        QCOMPARE(request(plc, u"P3"_s, 8000), u"A P3"_s);
        QCOMPARE(in.entries(u"Send Complete => Close after send"_s).size(), 1);
        // No answer: the time-out ends it with its code, and the next one still gets its own.
        request(plc, u"mute"_s, 3500);
        QTRY_COMPARE_WITH_TIMEOUT(codes(plc), QStringList{u"3004"_s}, 5000);
        QCOMPARE(request(plc, u"P4"_s, 8000), u"A P4"_s);
        QVERIFY(in.stop());
    }
};

QTEST_GUILESS_MAIN(TestAnswerRecovery)
#include "TestAnswerRecovery.moc"
