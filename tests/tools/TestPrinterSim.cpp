#include "PrinterSim.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Options = PrinterSim::Options;

namespace
{

Options onFreePort()
{
    Options o;
    o.port = 0;
    return o;
}

// The stand-in with its event lines collected.
struct Sim : PrinterSim {
    QStringList lines;
    explicit Sim(const Options &o) : PrinterSim(o)
    {
        onLine = [this](const QString &l) { lines << l; };
    }
};

bool connectTo(QTcpSocket &client, quint16 port)
{
    client.connectToHost(QHostAddress::LocalHost, port);
    return client.waitForConnected(5000);
}

QByteArray answer(QTcpSocket &client, int size)
{
    return QTest::qWaitFor([&] { return client.bytesAvailable() >= size; }, 5000) ? client.readAll() : "none";
}

// A plain non-blocking socket, for what Qt does not tell apart: an orderly close (read gives 0)
// and a reset (read fails with ECONNRESET).
struct RawClient {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    explicit RawClient(quint16 port)
    {
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    ~RawClient() { ::close(fd); }
    // Sends it all, spinning the event loop while the kernel's buffers are full.
    bool send(const QByteArray &data)
    {
        for (qsizetype done = 0; done < data.size();) {
            const ssize_t n =
                ::send(fd, data.constData() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                done += n;
            else if (errno == EAGAIN)
                QTest::qWait(5);
            else
                return false;
        }
        return true;
    }
    // Appends what arrives to data; once, or until the connection ends (spinning the event loop):
    // "data", "eof", "reset" or "none".
    QByteArray read(QByteArray &data, bool untilEnd = true)
    {
        for (const QDeadlineTimer limit(5000);;) {
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0)
                data.append(buf, n);
            const QByteArray how = n > 0 ? "data" : n == 0 ? "eof" : errno == ECONNRESET ? "reset" : "none";
            if (!untilEnd || how == "eof" || how == "reset" || limit.hasExpired())
                return how;
            if (how == "none")
                QTest::qWait(5);
        }
    }
};

} // namespace

class TestPrinterSim : public QObject
{
    Q_OBJECT

private slots:
    void framesEscapesAndPreviews()
    {
        QByteArray buffer = "Content-Length: 5\n\nhelloplain textContent-Length: 3\n\nab";
        QCOMPARE(PrinterSim::takeRequests(buffer), (QList<QByteArray>{"hello", "plain text"}));
        QCOMPARE(buffer, QByteArray("Content-Length: 3\n\nab")); // waits for the last byte
        buffer.append('c');
        QCOMPARE(PrinterSim::takeRequests(buffer), QList<QByteArray>{"abc"});
        QVERIFY(buffer.isEmpty());
        buffer = "Content-Length: 4";
        QVERIFY(PrinterSim::takeRequests(buffer).isEmpty()); // header not complete
        buffer = "Content-Length: -1\n\nxyz";
        QCOMPARE(PrinterSim::takeRequests(buffer), QList<QByteArray>{"Content-Length: -1\n\nxyz"});
        buffer = "Content-Length: 99999999999\n\nx";
        QCOMPARE(PrinterSim::takeRequests(buffer).size(), 1);
        QVERIFY(buffer.isEmpty());

        QCOMPARE(PrinterSim::unescape(u"a\\r\\n\\t\\0\\\\\\x41\\xe4\u00e4\u20ac"_s),
                 QByteArray("a\r\n\t\0\\A\xE4\xE4\x80", 10));
        // Not escapes: the backslash stands for itself.
        QCOMPARE(PrinterSim::unescape(u"\\q \\x4 \\xg1 \\"_s), QByteArray("\\q \\x4 \\xg1 \\"));
        QCOMPARE(PrinterSim::preview(QByteArray("<a\xE4/>\r\n\x01\\", 9)), u"<a\u00e4/>\\r\\n\\x01\\\\"_s);
        const QString long_ = PrinterSim::preview(QByteArray(1000, '\0'));
        QVERIFY(long_.endsWith(u"..."_s) && long_.size() < 100); // short even when every byte needs an escape
    }

    void answersLateInOrderedPieces()
    {
        Options o = onFreePort();
        o.reply = "ACK %n;";
        o.delayMs = 50;
        o.pieces = 3;
        o.pieceGapMs = 40;
        Sim sim(o);
        QVERIFY(sim.start(nullptr));
        QCOMPARE(sim.lines.value(0), u"listening port=%1"_s.arg(sim.port()));

        QTcpSocket client;
        int arrivals = 0;
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] {
            ++arrivals;
            got += client.readAll();
        });
        QVERIFY(connectTo(client, sim.port()));
        // Two documents at once: the second answer must not start before the first one is out.
        client.write("Content-Length: 6\n\n<a\xE4/>xContent-Length: 2\n\nzz");
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), 12, 5000);
        QCOMPARE(got, QByteArray("ACK 6;ACK 2;"));
        QVERIFY2(arrivals > 2, "the answers came in one piece");
        QVERIFY(sim.lines.contains(u"request bytes=6 text=<a\u00e4/>x"_s));
        QVERIFY(sim.lines.contains(u"reply piece=3/3 bytes=2 text=6;"_s));
        client.disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(sim.lines.last().startsWith(u"disconnect 127.0.0.1:"_s), 5000);
        QVERIFY(sim.lines.last().endsWith(u"received=46 sent=12"_s));
    }

    void refusesAndComesBackOnTheSamePort()
    {
        Options o = onFreePort();
        o.refuse = true;
        Sim sim(o);
        QVERIFY(sim.start(nullptr));
        const quint16 port = sim.port();
        const auto refused = [port] {
            QTcpSocket client;
            return !connectTo(client, port) && client.error() == QAbstractSocket::ConnectionRefusedError;
        };
        QVERIFY(refused());

        o.refuse = false;
        QVERIFY(sim.setOptions(o));
        QCOMPARE(sim.port(), port);
        QTcpSocket client;
        QVERIFY(connectTo(client, port));
        client.write("hi");
        QCOMPARE(answer(client, 2), QByteArray("OK"));

        // Refusing again leaves a connection made before working.
        o.refuse = true;
        QVERIFY(sim.setOptions(o));
        QVERIFY(refused());
        client.write("again");
        QCOMPARE(answer(client, 2), QByteArray("OK"));
    }

    void endsConnectionsAtOnceOrAfterBytes()
    {
        for (const bool reset : {true, false}) {
            const QByteArray how = reset ? "reset" : "eof";
            Options o = onFreePort();
            (reset ? o.resetAfterBytes : o.closeAfterBytes) = 0;
            Sim sim(o);
            QSignalSpy documents(&sim, &PrinterSim::documentReceived);
            QVERIFY(sim.start(nullptr));
            QByteArray data;
            QCOMPARE(RawClient(sim.port()).read(data), how);

            (reset ? o.resetAfterBytes : o.closeAfterBytes) = 10;
            QVERIFY(sim.setOptions(o));
            RawClient client(sim.port());
            QVERIFY(client.send("abcd"));
            QTRY_COMPARE_WITH_TIMEOUT((client.read(data, false), data), QByteArray("OK"), 5000);
            // Far more than the limit, crossing it mid-request. Closing takes and drops the rest,
            // so the close stays orderly instead of a reset for unread data.
            client.send(QByteArray(100000, 'x'));
            QCOMPARE(client.read(data), how);
            QCOMPARE(data, QByteArray("OK")); // no answer to the cut request
            QCOMPARE(documents.size(), 2);
            QCOMPARE(documents.at(1).at(0).toByteArray(), QByteArray("xxxxxx"));
            QCOMPARE(sim.lines.filter(u" 127.0.0.1:"_s).filter(u"after received=10"_s).size(), 1);
            if (reset)
                continue;
            // Still sending after the close is seen does not turn it into a reset either.
            QVERIFY(client.send(QByteArray(100000, 'y')));
            QTest::qWait(100);
            QVERIFY(client.send(QByteArray(100000, 'z')));
            QTest::qWait(100);
            QCOMPARE(client.read(data, false), QByteArray("eof"));
        }
    }

    void acceptsAndNeverReadsUntilToldTo()
    {
        Options o = onFreePort();
        o.noRead = true;
        Sim sim(o);
        QSignalSpy documents(&sim, &PrinterSim::documentReceived);
        QVERIFY(sim.start(nullptr));
        QCOMPARE(sim.lines.value(0), u"listening port=%1 not reading"_s.arg(sim.port()));
        // A peer that leaves without sending is noticed when the next one arrives.
        {
            QTcpSocket early;
            QVERIFY(connectTo(early, sim.port()));
            QTRY_COMPARE_WITH_TIMEOUT(sim.lines.size(), 2, 5000);
        }
        const QString earlyPeer = sim.lines.at(1).section(u' ', 1, 1);

        QTcpSocket client;
        QVERIFY(connectTo(client, sim.port()));
        const QByteArray body(10 * 1024 * 1024, 'x'); // more than the kernel buffers on both sides hold
        client.write("Content-Length: " + QByteArray::number(body.size()) + "\n\n" + body);
        QTRY_COMPARE_WITH_TIMEOUT(sim.lines.filter(u"not reading"_s).size(), 3, 5000);
        QVERIFY(sim.lines.contains(u"disconnect "_s + earlyPeer));
        QTest::qWait(300);
        QVERIFY2(client.bytesToWrite() > body.size() / 2, qPrintable(QString::number(client.bytesToWrite())));
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        QVERIFY(documents.isEmpty());

        // The printer recovers: what it held is read and answered.
        o.noRead = false;
        QVERIFY(sim.setOptions(o));
        QTRY_COMPARE_WITH_TIMEOUT(documents.size(), 1, 20000);
        QCOMPARE(documents.at(0).at(0).toByteArray().size(), body.size());
        QCOMPARE(answer(client, 2), QByteArray("OK"));
    }

    void savesEachDocumentNumbered()
    {
        // Numbering goes on after the documents already in the folder.
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(u"docs/new"_s);
        QDir().mkpath(dir);
        QVERIFY(QFile(dir + u"/doc-00007.dat"_s).open(QIODevice::WriteOnly));
        Options o = onFreePort();
        o.saveDir = dir;
        Sim sim(o);
        QVERIFY(sim.start(nullptr));
        QTcpSocket client;
        QVERIFY(connectTo(client, sim.port()));
        client.write(QByteArray("Content-Length: 3\n\n\xE4\0bContent-Length: 1\n\nc", 42));
        QTRY_COMPARE_WITH_TIMEOUT(sim.lines.filter(u"saved "_s).size(), 2, 5000);
        const auto content = [&](const QString &name) {
            QFile f(dir + u'/' + name);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("missing");
        };
        QCOMPARE(content(u"doc-00008.dat"_s), QByteArray("\xE4\0b", 3));
        QCOMPARE(content(u"doc-00009.dat"_s), QByteArray("c"));

        // A folder that cannot exist: the error is reported and the answer still goes out.
        QVERIFY(QFile(tmp.filePath(u"file"_s)).open(QIODevice::WriteOnly));
        o.saveDir = tmp.filePath(u"file/sub"_s);
        QVERIFY(sim.setOptions(o));
        answer(client, 4);
        client.write("plain");
        QCOMPARE(answer(client, 2), QByteArray("OK"));
        QVERIFY(!sim.lines.filter(u"error cannot save "_s).isEmpty());
    }

    void clientSendsRepeatedlyAndFailsWhenRefusedOrCutShort()
    {
        Options so = onFreePort();
        so.reply = "R%n";
        Sim server(so);
        QVERIFY(server.start(nullptr));
        QSignalSpy documents(&server, &PrinterSim::documentReceived);
        Options co = onFreePort();
        co.connectHost = u"127.0.0.1"_s;
        co.connectPort = server.port();
        co.send = "abc";
        co.count = 3;
        co.everyMs = 100;
        co.waitMs = 300;
        const auto run = [&](QStringList *lines = nullptr) {
            Sim client(co);
            QSignalSpy finished(&client, &PrinterSim::finished),
                answers(&client, &PrinterSim::answerReceived);
            client.start(nullptr);
            (void)QTest::qWaitFor([&] { return !finished.isEmpty(); }, 5000);
            if (lines)
                *lines = client.lines;
            return std::pair(finished.value(0).value(0, -1).toInt(), int(answers.size()));
        };
        QStringList lines;
        QCOMPARE(run(&lines), std::pair(0, 3));
        QCOMPARE(documents.size(), 3);
        QCOMPARE(lines.value(0), u"connecting 127.0.0.1:%1"_s.arg(server.port()));
        QVERIFY(lines.contains(u"send 3/3 bytes=3 text=abc"_s));
        QVERIFY(lines.contains(u"answer bytes=2 text=R3"_s));
        QVERIFY(lines.contains(u"disconnect 127.0.0.1:%1 received=6 sent=9"_s.arg(server.port())));

        // The peer closes after the first answer while two more sends are planned; then it refuses.
        so.closeAfterReply = true;
        QVERIFY(server.setOptions(so));
        co.waitMs = -1;
        co.everyMs = 200;
        QCOMPARE(run().first, 1);
        so.refuse = true;
        QVERIFY(server.setOptions(so));
        QCOMPARE(run().first, 1);
    }

    void commandLine()
    {
        const auto run = [](const QStringList &args, QByteArray *out) {
            QProcess p;
            p.start(qEnvironmentVariable("KAVETTA_BINARY_DIR", QStringLiteral(KAVETTA_BINARY_DIR)) +
                        u"/tools/printersim/printersim"_s,
                    args);
            if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 10000))
                return -1;
            *out = p.readAllStandardOutput() + p.readAllStandardError();
            return p.exitCode();
        };
        QByteArray out;
        QCOMPARE(run({u"--help"_s}, &out), 0);
        QVERIFY(out.contains("--no-read"));
        QCOMPARE(run({u"--port"_s, u"70000"_s}, &out), 2);
        QVERIFY(out.contains("invalid --port 70000"));
        QCOMPARE(run({u"--refuse"_s, u"--no-read"_s}, &out), 2);
        QCOMPARE(run({u"--connect"_s, u"127.0.0.1:1"_s, u"--silent"_s}, &out), 2);
        QCOMPARE(run({u"--send"_s, u"x"_s}, &out), 2);

        // The client with escapes in what it sends, against the stand-in in this process.
        Options o = onFreePort();
        o.reply = "OK %n\r\n";
        Sim server(o);
        QVERIFY(server.start(nullptr));
        QCOMPARE(run({u"--connect"_s, u"localhost:%1"_s.arg(server.port()), u"--send"_s,
                      u"Content-Length: 2\\n\\n\\xE4\\x00"_s, u"--wait-ms"_s, u"300"_s},
                     &out),
                 0);
        QVERIFY2(out.contains(" answer bytes=6 text=OK 2\\r\\n\n"), out.constData());
        QVERIFY(server.lines.contains(u"request bytes=2 text=\u00e4\\x00"_s));
    }
};

QTEST_GUILESS_MAIN(TestPrinterSim)
#include "TestPrinterSim.moc"
