// Framed answers after a bad frame, against the real program on a static connection with the
// recommended options: each bad frame (a length beyond the bound or beyond what arrives, a
// length that is no number, an answer whose end never comes, a printer that closes amid a job)
// ends its own request with a code, and the well-formed answer that follows reaches the next
// request; and answers on connections made per request.
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

// The program with its PLC runtime stand-in and a printer stand-in that answers what onJob
// writes back for each piece a connection brings.
struct Line {
    QTcpServer printer;
    int connections = 0;
    GatewayInstance in;
    PlcSimProcess plc;

    bool start(const std::function<void(QTcpSocket *)> &onJob, const QByteArray &options,
               bool staticConnection = true)
    {
        if (!printer.listen(QHostAddress::LocalHost, 0) || !plc.start({u"--module"_s, u"LS"_s, u"--trace"_s}))
            return false;
        QObject::connect(&printer, &QTcpServer::newConnection, &printer, [this, onJob] {
            while (QTcpSocket *s = printer.nextPendingConnection()) {
                ++connections;
                QObject::connect(s, &QTcpSocket::readyRead, s, [s, onJob] { onJob(s); });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        in.config.plcPort = plc.port();
        in.config.remotePort = printer.serverPort();
        in.config.staticConnection = staticConnection;
        if (!in.writeConfig() || !in.writeOptions(options))
            return false;
        in.start();
        return plc.waitForLine(u"op=subscribe"_s, 10000);
    }
    // New options, read again on SIGHUP.
    bool reload(const QByteArray &options)
    {
        const qsizetype before = in.entries(u"Instance options reloaded"_s).size();
        if (!in.writeOptions(options))
            return false;
        in.signal(SIGHUP);
        return QTest::qWaitFor([&] { return in.entries(u"Instance options reloaded"_s).size() > before; },
                               10000);
    }
};

} // namespace

class TestAnswerRecovery : public QObject
{
    Q_OBJECT

private slots:
    void aBadFrameCostsOnlyItsOwnRequest()
    {
        // The printer answers each job with what the test has set for it, else with the job
        // (terminator framed); the first job of j's it takes a byte of and closes.
        QHash<QByteArray, QByteArray> replies;
        bool closed = false;
        Line line;
        const QByteArray safety = "[safety]\nreportPeerFailures = true\nanswerTimeoutSec = 1\n"
                                  "dropLateAnswers = true\nanswerMaxBytes = 64\n";
        const auto printerAnswers = [&replies, &closed](QTcpSocket *s) {
            if (!closed && s->peek(3) == "jjj") {
                closed = true;
                s->read(1);
                s->close(); // what it has not read makes it a reset
            } else {
                const QByteArray job = s->readAll().trimmed();
                s->write(replies.value(job, "A " + job + "\x03"));
            }
        };
        QVERIFY(line.start(printerAnswers, safety + "answerFraming = length\n"));

        QStringList expected;
        int n = 0;
        const auto badThenGood = [&](const QByteArray &bad, const QString &code,
                                     const QByteArray &goodFrame) {
            ++n;
            const QByteArray b = "B" + QByteArray::number(n), g = "G" + QByteArray::number(n);
            replies[b] = bad;
            replies[g] = QByteArray(goodFrame).replace("%", "A " + g);
            expected << code;
            request(line.plc, QString::fromLatin1(b), 2500);
            QTRY_COMPARE_WITH_TIMEOUT(codes(line.plc), expected, 5000);
            const QString answer = request(line.plc, QString::fromLatin1(g), 8000);
            QVERIFY2(answer == u"A "_s + QString::fromLatin1(g), qPrintable(line.in.entries().join(u'\n')));
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
        QCOMPARE(line.in.entries(u"No answer within 1 s: B4"_s).size(), 1);
        QVERIFY(!line.in.entries(u"Answers out of step after a bad frame"_s).isEmpty());

        // Line and terminator framing: an answer that never ends within answerMaxBytes.
        QVERIFY(line.reload(safety + "answerFraming = line\n"));
        badThenGood(QByteArray(100, 'x'), u"3006"_s, "%\r\n");
        QVERIFY(line.reload(safety + "answerFraming = terminator\nanswerTerminator = \\x03\n"));
        badThenGood(QByteArray(100, 'y'), u"3006"_s, "%\x03");
        // Each bad frame took its connection with it, nothing more.
        QVERIFY2(line.connections <= 1 + n, qPrintable(QString::number(line.connections)));

        // A printer that takes a little of a job and closes: the job ends with a code (no answer
        // after the send, or not sent completely), once, and the next job goes through.
        request(line.plc, QString(300, u'j'), 2000);
        QTRY_VERIFY_WITH_TIMEOUT(codes(line.plc).size() > expected.size(), 6000);
        const QString code = codes(line.plc).constLast();
        QVERIFY2(code == u"3004"_s || code == u"3002"_s, qPrintable(code));
        const QString said = code == u"3004"_s ? u"No answer: the connection ended first: jjj"_s
                                               : u"Request not sent completely: jjj"_s;
        QTRY_VERIFY(!line.in.entries(said).isEmpty());
        QCOMPARE(request(line.plc, u"J"_s, 8000), u"A J"_s);
        QCOMPARE(line.in.entries(said).size(), 1);
        QCOMPARE(codes(line.plc).size(), expected.size() + 1);
        QVERIFY(line.in.stop());
    }

    // A connection per request: closed right after the send as always, unless answerTimeoutSec
    // is set; then it stays until the answer is whole, which reaches the PLC, or the time is up.
    void answersOnConnectionsPerRequest()
    {
        Line line;
        const QByteArray options = "[safety]\nreportPeerFailures = true\nanswerFraming = line\n";
        QVERIFY(line.start(
            [](QTcpSocket *s) {
                const QByteArray job = s->readAll().trimmed();
                // In two pieces, a while after the job; none for a job named "mute".
                if (job != "mute")
                    QTimer::singleShot(300, s, [s, job] {
                        s->write("A ");
                        QTimer::singleShot(100, s, [s, job] { s->write(job + "\n"); });
                    });
            },
            options, false));
        QCOMPARE(request(line.plc, u"P1"_s, 2500), QString());
        QTRY_COMPARE(line.in.entries(u"Send Complete => Close after send"_s).size(), 1);

        QVERIFY(line.reload(options + "answerTimeoutSec = 2\n"));
        QCOMPARE(request(line.plc, u"P2"_s, 8000), u"A P2"_s);
        QCOMPARE(request(line.plc, u"P3"_s, 8000), u"A P3"_s);
        QCOMPARE(line.in.entries(u"Send Complete => Close after send"_s).size(), 1);
        // No answer: the time-out ends it with its code, and the next one still gets its own.
        request(line.plc, u"mute"_s, 3500);
        QTRY_COMPARE_WITH_TIMEOUT(codes(line.plc), QStringList{u"3004"_s}, 5000);
        QCOMPARE(request(line.plc, u"P4"_s, 8000), u"A P4"_s);
        QVERIFY(line.in.stop());
    }
};

QTEST_GUILESS_MAIN(TestAnswerRecovery)
#include "TestAnswerRecovery.moc"
