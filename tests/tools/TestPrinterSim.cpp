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

namespace
{

PrinterSim::Options serverOptions()
{
    PrinterSim::Options o;
    o.port = 0;
    return o;
}

// A plain socket, for what Qt does not tell apart: an orderly close (read gives 0) and a reset
// (read fails with ECONNRESET). Non-blocking, so the stand-in keeps running in the test's loop.
class RawClient
{
public:
    explicit RawClient(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    ~RawClient() { ::close(m_fd); }
    // Sends it all, spinning the event loop while the kernel's buffers are full.
    bool send(const QByteArray &data)
    {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n =
                ::send(m_fd, data.constData() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                done += n;
            else if (errno == EAGAIN)
                QTest::qWait(5);
            else
                return false;
        }
        return true;
    }

    // Reads what is there: data is appended; returns "data", "eof", "reset" or "none".
    QByteArray poll(QByteArray *data)
    {
        char buf[4096];
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            data->append(buf, n);
            return "data";
        }
        if (n == 0)
            return "eof";
        return errno == ECONNRESET ? "reset" : "none";
    }
    // Spins the event loop until the connection ends; the way it ended, and the data before it.
    QByteArray end(QByteArray *data, int timeoutMs = 5000)
    {
        QByteArray how = "none";
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            how = poll(data);
            if (how == "eof" || how == "reset")
                return how;
            if (how == "none")
                QTest::qWait(5);
        }
        return how;
    }

private:
    int m_fd = -1;
};

} // namespace

class TestPrinterSim : public QObject
{
    Q_OBJECT

private slots:
    void splitsFramesAndPlainRequests()
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
    }

    void escapesAndPreviews()
    {
        QCOMPARE(PrinterSim::unescape(QStringLiteral("a\\r\\n\\t\\0\\\\\\x41\\xe4ä€")),
                 QByteArray("a\r\n\t\0\\A\xE4\xE4\x80", 10));
        // Not escapes: the backslash stands for itself.
        QCOMPARE(PrinterSim::unescape(QStringLiteral("\\q \\x4 \\xg1 \\")), QByteArray("\\q \\x4 \\xg1 \\"));

        QCOMPARE(PrinterSim::preview(QByteArray("<a\xE4/>\r\n\x01\\", 9)),
                 QStringLiteral("<aä/>\\r\\n\\x01\\\\"));
        const QString long_ = PrinterSim::preview(QByteArray(1000, '\0'));
        QVERIFY(long_.endsWith(QLatin1String("...")));
        QVERIFY(long_.size() < 100); // short even when every byte needs an escape
    }

    void answersLateInOrderedPieces()
    {
        PrinterSim::Options o = serverOptions();
        o.reply = "ACK %n;";
        o.delayMs = 50;
        o.pieces = 3;
        o.pieceGapMs = 40;
        PrinterSim sim(o);
        QStringList lines;
        sim.onLine = [&lines](const QString &l) { lines << l; };
        QVERIFY(sim.start(nullptr));
        QVERIFY(sim.port() != 0);
        QCOMPARE(lines.value(0), QStringLiteral("listening port=%1").arg(sim.port()));

        QTcpSocket client;
        int arrivals = 0;
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] {
            ++arrivals;
            got += client.readAll();
        });
        client.connectToHost(QHostAddress::LocalHost, sim.port());
        QVERIFY(client.waitForConnected(5000));
        // Two documents at once: the second answer must not start before the first one is out.
        client.write("Content-Length: 6\n\n<a\xE4/>x"
                     "Content-Length: 2\n\nzz");
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), 12, 5000);
        QCOMPARE(got, QByteArray("ACK 6;ACK 2;"));
        QVERIFY2(arrivals > 2, "the answers came in one piece");
        QVERIFY(lines.contains(QStringLiteral("request bytes=6 text=<aä/>x")));
        QVERIFY(lines.contains(QStringLiteral("reply piece=3/3 bytes=2 text=6;")));
        client.disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(lines.last().startsWith(QStringLiteral("disconnect 127.0.0.1:")), 5000);
        QVERIFY(lines.last().endsWith(QStringLiteral("received=46 sent=12")));
    }

    void refusesAndComesBackOnTheSamePort()
    {
        PrinterSim::Options o = serverOptions();
        o.refuse = true;
        PrinterSim sim(o);
        QStringList lines;
        sim.onLine = [&lines](const QString &l) { lines << l; };
        QVERIFY(sim.start(nullptr));
        const quint16 port = sim.port();
        QVERIFY(port != 0);
        QCOMPARE(lines.value(0), QStringLiteral("refusing port=%1").arg(port));

        const auto tryConnect = [port] {
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, port);
            const bool ok = client.waitForConnected(5000);
            return ok ? QAbstractSocket::UnknownSocketError : client.error();
        };
        QCOMPARE(tryConnect(), QAbstractSocket::ConnectionRefusedError);

        o.refuse = false;
        QVERIFY(sim.setOptions(o));
        QCOMPARE(sim.port(), port);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        client.write("hi");
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= 2, 5000);
        QCOMPARE(client.readAll(), QByteArray("OK"));

        o.refuse = true;
        QVERIFY(sim.setOptions(o));
        QCOMPARE(tryConnect(), QAbstractSocket::ConnectionRefusedError);
        // A connection made before keeps working.
        client.write("again");
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= 2, 5000);
        QCOMPARE(client.readAll(), QByteArray("OK"));
    }

    void endsConnectionsAtOnceOrAfterBytes()
    {
        for (const bool reset : {true, false}) {
            const QByteArray how = reset ? "reset" : "eof";
            PrinterSim::Options o = serverOptions();
            (reset ? o.resetAfterBytes : o.closeAfterBytes) = 0;
            PrinterSim sim(o);
            QStringList lines;
            sim.onLine = [&lines](const QString &l) { lines << l; };
            QSignalSpy documents(&sim, &PrinterSim::documentReceived);
            QVERIFY(sim.start(nullptr));
            QByteArray data;
            QCOMPARE(RawClient(sim.port()).end(&data), how);

            (reset ? o.resetAfterBytes : o.closeAfterBytes) = 10;
            QVERIFY(sim.setOptions(o));
            RawClient client(sim.port());
            QVERIFY(client.send("abcd"));
            QTRY_COMPARE_WITH_TIMEOUT((client.poll(&data), data), QByteArray("OK"), 5000);
            // Far more than the limit, crossing it mid-request. Closing takes and drops the
            // rest, so the close stays orderly instead of a reset for unread data.
            client.send(QByteArray(100000, 'x'));
            QCOMPARE(client.end(&data), how);
            QCOMPARE(data, QByteArray("OK")); // no answer to the cut request
            QCOMPARE(documents.size(), 2);
            QCOMPARE(documents.at(1).at(0).toByteArray(), QByteArray("xxxxxx"));
            QVERIFY(lines.filter(QStringLiteral(" 127.0.0.1:"))
                        .filter(QStringLiteral("after received=10"))
                        .size() == 1);
            if (reset)
                continue;
            // Still sending after the close is seen does not turn it into a reset either.
            QVERIFY(client.send(QByteArray(100000, 'y')));
            QTest::qWait(100);
            QVERIFY(client.send(QByteArray(100000, 'z')));
            QTest::qWait(100);
            QCOMPARE(client.poll(&data), QByteArray("eof"));
        }
    }

    void acceptsAndNeverReadsUntilToldTo()
    {
        PrinterSim::Options o = serverOptions();
        o.noRead = true;
        PrinterSim sim(o);
        QStringList lines;
        sim.onLine = [&lines](const QString &l) { lines << l; };
        QSignalSpy documents(&sim, &PrinterSim::documentReceived);
        QVERIFY(sim.start(nullptr));
        QCOMPARE(lines.value(0), QStringLiteral("listening port=%1 not reading").arg(sim.port()));

        // A peer that leaves without sending is noticed when the next one arrives.
        {
            QTcpSocket early;
            early.connectToHost(QHostAddress::LocalHost, sim.port());
            QVERIFY(early.waitForConnected(5000));
            QTRY_COMPARE_WITH_TIMEOUT(lines.size(), 2, 5000);
        }
        const QString earlyPeer = lines.at(1).section(' ', 1, 1);

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, sim.port());
        QVERIFY(client.waitForConnected(5000));
        // More than the kernel buffers on both sides hold.
        const QByteArray body(10 * 1024 * 1024, 'x');
        client.write("Content-Length: " + QByteArray::number(body.size()) + "\n\n" + body);
        QTRY_COMPARE_WITH_TIMEOUT(lines.filter(QStringLiteral("not reading")).size(), 3, 5000);
        QVERIFY(lines.contains(QStringLiteral("disconnect %1").arg(earlyPeer)));
        QTest::qWait(300);
        QVERIFY2(client.bytesToWrite() > body.size() / 2, qPrintable(QString::number(client.bytesToWrite())));
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        QVERIFY(documents.isEmpty());

        // The printer recovers: what it held is read and answered.
        o.noRead = false;
        QVERIFY(sim.setOptions(o));
        QTRY_COMPARE_WITH_TIMEOUT(documents.size(), 1, 20000);
        QCOMPARE(documents.at(0).at(0).toByteArray().size(), body.size());
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= 2, 5000);
        QCOMPARE(client.readAll(), QByteArray("OK"));
    }

    void savesEachDocumentNumbered()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(QStringLiteral("docs/new"));
        QDir().mkpath(dir);
        QFile old(dir + QStringLiteral("/doc-00007.dat"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.close();

        PrinterSim::Options o = serverOptions();
        o.saveDir = dir;
        PrinterSim sim(o);
        QStringList lines;
        sim.onLine = [&lines](const QString &l) { lines << l; };
        QVERIFY(sim.start(nullptr));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, sim.port());
        QVERIFY(client.waitForConnected(5000));
        const char docs[] = "Content-Length: 3\n\n\xE4\0b"
                            "Content-Length: 1\n\nc";
        client.write(QByteArray(docs, sizeof docs - 1));
        QTRY_COMPARE_WITH_TIMEOUT(lines.filter(QStringLiteral("saved ")).size(), 2, 5000);
        const auto content = [&](const QString &name) {
            QFile f(dir + '/' + name);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("missing");
        };
        QCOMPARE(content(QStringLiteral("doc-00008.dat")), QByteArray("\xE4\0b", 3));
        QCOMPARE(content(QStringLiteral("doc-00009.dat")), QByteArray("c"));

        // A folder that cannot exist: the error is reported and the answer still goes out.
        QFile blocker(tmp.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        o.saveDir = blocker.fileName() + QStringLiteral("/sub");
        QVERIFY(sim.setOptions(o));
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= 4, 5000);
        client.readAll();
        client.write("plain");
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= 2, 5000);
        QCOMPARE(client.readAll(), QByteArray("OK"));
        QVERIFY(!lines.filter(QStringLiteral("error cannot save ")).isEmpty());
    }

    void clientSendsRepeatedlyAndReportsAnswers()
    {
        PrinterSim::Options so = serverOptions();
        so.reply = "R%n";
        PrinterSim server(so);
        QVERIFY(server.start(nullptr));
        QSignalSpy documents(&server, &PrinterSim::documentReceived);

        PrinterSim::Options co;
        co.connectHost = QStringLiteral("127.0.0.1");
        co.connectPort = server.port();
        co.send = "abc";
        co.count = 3;
        co.everyMs = 100;
        co.waitMs = 300;
        PrinterSim client(co);
        QStringList lines;
        client.onLine = [&lines](const QString &l) { lines << l; };
        QSignalSpy finished(&client, &PrinterSim::finished);
        QSignalSpy answers(&client, &PrinterSim::answerReceived);
        QVERIFY(client.start(nullptr));
        QCOMPARE(lines.value(0), QStringLiteral("connecting 127.0.0.1:%1").arg(server.port()));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QCOMPARE(documents.size(), 3);
        QCOMPARE(answers.size(), 3);
        QVERIFY(lines.contains(QStringLiteral("send 3/3 bytes=3 text=abc")));
        QVERIFY(lines.contains(QStringLiteral("answer bytes=2 text=R3")));
        QVERIFY(
            lines.contains(QStringLiteral("disconnect 127.0.0.1:%1 received=6 sent=9").arg(server.port())));
    }

    void clientFailsWhenRefusedOrCutShort()
    {
        PrinterSim::Options so = serverOptions();
        so.refuse = true;
        PrinterSim server(so);
        QVERIFY(server.start(nullptr));

        PrinterSim::Options co;
        co.connectHost = QStringLiteral("127.0.0.1");
        co.connectPort = server.port();
        co.send = "x";
        {
            PrinterSim client(co);
            QSignalSpy finished(&client, &PrinterSim::finished);
            QVERIFY(client.start(nullptr));
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
            QCOMPARE(finished.at(0).at(0).toInt(), 1);
        }

        // The peer closes after the first answer while two more sends are planned.
        so.refuse = false;
        so.closeAfterReply = true;
        QVERIFY(server.setOptions(so));
        co.count = 3;
        co.everyMs = 200;
        PrinterSim client(co);
        QSignalSpy finished(&client, &PrinterSim::finished);
        QVERIFY(client.start(nullptr));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QCOMPARE(finished.at(0).at(0).toInt(), 1);
    }

    void commandLine()
    {
        const QString program =
            qEnvironmentVariable("KAVETTA_BINARY_DIR", QStringLiteral(KAVETTA_BINARY_DIR)) +
            QStringLiteral("/tools/printersim/printersim");
        const auto run = [&](const QStringList &args, QByteArray *out) {
            QProcess p;
            p.start(program, args);
            if (!p.waitForFinished(10000)) {
                p.kill();
                p.waitForFinished();
                return -1;
            }
            *out = p.readAllStandardOutput() + p.readAllStandardError();
            return p.exitCode();
        };
        QByteArray out;
        QCOMPARE(run({QStringLiteral("--help")}, &out), 0);
        QVERIFY(out.contains("--no-read"));
        QCOMPARE(run({QStringLiteral("--port"), QStringLiteral("70000")}, &out), 2);
        QVERIFY(out.contains("invalid --port 70000"));
        QCOMPARE(run({QStringLiteral("--refuse"), QStringLiteral("--no-read")}, &out), 2);
        QCOMPARE(run({QStringLiteral("--connect"), QStringLiteral("127.0.0.1:1"), QStringLiteral("--silent")},
                     &out),
                 2);
        QCOMPARE(run({QStringLiteral("--send"), QStringLiteral("x")}, &out), 2);

        QProcess server;
        server.start(program, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--reply"),
                               QStringLiteral("OK %n\\r\\n")});
        QVERIFY(server.waitForReadyRead(10000));
        const QByteArray first = server.readLine().trimmed();
        const qsizetype at = first.indexOf(" listening port=");
        QVERIFY2(at > 0, first.constData());
        const QByteArray port = first.mid(at + 16);
        QVERIFY(port.toUInt() != 0);

        const QStringList clientArgs{
            QStringLiteral("--connect"), QStringLiteral("localhost:") + port,
            QStringLiteral("--send"),    QStringLiteral("Content-Length: 2\\n\\n\\xE4\\x00"),
            QStringLiteral("--wait-ms"), QStringLiteral("300")};
        QCOMPARE(run(clientArgs, &out), 0);
        QVERIFY2(out.contains(" answer bytes=6 text=OK 2\\r\\n\n"), out.constData());
        server.kill();
        server.waitForFinished();
        QVERIFY(server.readAllStandardOutput().contains(" request bytes=2 text=\xC3\xA4\\x00\n"));
    }
};

QTEST_GUILESS_MAIN(TestPrinterSim)
#include "TestPrinterSim.moc"
