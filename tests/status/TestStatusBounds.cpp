// The status endpoint keeps to its bounds whatever its clients do: the request tracker on byte
// streams cut anywhere; the listener in front of the HTTP server with short times (too many
// connections, a head or body too large, a request sent too slowly, an idle connection); and
// the real program with a thousand idle connections and a never-ending head while the PLC's jobs
// go to the printer on connections made per request, its descriptor limit held low as a
// service's would be.
#include "GatewayInstance.h"
#include "status/RequestBounds.h"
#include "status/StatusListener.h"
#include "status/StatusReport.h"

#include <QHttpServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace
{

// What one connection got back before the server closed it (or wait ran out); the event loop
// runs meanwhile, for a server in this process.
QByteArray exchange(quint16 port, const QByteArray &send, int waitMs = 3000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    QByteArray got;
    QDeadlineTimer deadline(waitMs);
    bool sent = false;
    while (s.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
        if (!sent && s.state() == QAbstractSocket::ConnectedState)
            sent = s.write(send) == send.size();
        QTest::qWait(5);
        got += s.readAll();
    }
    return got + s.readAll();
}

qint64 procValue(qint64 pid, const QByteArray &key)
{
    QFile f(u"/proc/%1/status"_s.arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

int descriptors(qint64 pid)
{
    return int(QDir(u"/proc/%1/fd"_s.arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// A connection to the port that sends nothing, without waiting for the handshake.
int idleConnection(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return fd;
}

void setSoftDescriptorLimit(rlim_t soft)
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = qMin(soft, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

class TestStatusBounds : public QObject
{
    Q_OBJECT

private slots:
    void requestBoundsFollowRequests()
    {
        const QByteArray get = "GET /status HTTP/1.1\r\nHost: x\r\n\r\n";
        const QByteArray post = "POST /status HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello";
        // A body that looks like a head's end, and a length that is no number (the HTTP server's
        // to answer: no body follows).
        const QByteArray stream = get + "\r\n" + post + get +
                                  "PUT / HTTP/1.1\r\nContent-Length: 8\r\n\r\n\r\n\r\nabcd" +
                                  "PUT / HTTP/1.1\r\nContent-Length: x\r\n\r\n" + "GET / HTTP/1.1\n\n";
        // Whatever way the bytes are cut, the same requests come out and none is refused.
        for (int cut : {1, 2, 3, 7, 1000}) {
            RequestBounds b(64, 8);
            for (qsizetype i = 0; i < stream.size(); i += cut)
                QCOMPARE(b.feed(stream.mid(i, cut)), RequestBounds::Verdict::Ok);
            QCOMPARE(b.requests(), 6);
            QVERIFY(!b.inRequest());
        }
        // A head of exactly the bound passes, one byte more does not; a body too long, or of no
        // length.
        const QByteArray exact = "GET / HTTP/1.1\r\nX: " + QByteArray(64 - 23, 'a') + "\r\n\r\n";
        QCOMPARE(exact.size(), 64);
        QCOMPARE(RequestBounds(64, 8).feed(exact), RequestBounds::Verdict::Ok);
        QCOMPARE(RequestBounds(63, 8).feed(exact), RequestBounds::Verdict::HeadTooLarge);
        QCOMPARE(RequestBounds(64, 8).feed("PUT / HTTP/1.1\r\ncontent-length:  9\r\n\r\n"),
                 RequestBounds::Verdict::BodyTooLarge);
        QCOMPARE(RequestBounds(64, 8).feed("PUT / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n"),
                 RequestBounds::Verdict::LengthRequired);
    }

    // The listener in front of Qt's HTTP server, with short times.
    void listenerKeepsItsBounds()
    {
        StatusLimits limits;
        limits.maxConnections = 3;
        limits.maxHeadBytes = 1024;
        limits.maxBodyBytes = 256;
        limits.idleMs = 400;
        limits.halfSentMs = 300;
        auto refusals = std::make_shared<StatusRefusals>();
        QHttpServer http;
        http.route(u"/"_s, [] { return u"fine"_s; });
        auto *listener = new StatusListener(limits, refusals);
        QVERIFY(listener->listen(QHostAddress::LocalHost, 0));
        const quint16 port = listener->serverPort();
        http.bind(listener);
        const QByteArray get = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
        const auto count = [&](StatusRefusals::Reason r) { return refusals->counts[size_t(r)]; };

        QVERIFY(exchange(port, get, 300).contains("\r\n\r\nfine"));
        QVERIFY(exchange(port, "GET / HTTP/1.1\r\nX: " + QByteArray(2000, 'h'), 2000)
                    .startsWith("HTTP/1.1 431 "));
        QCOMPARE(count(StatusRefusals::Head), 1u);
        QVERIFY(exchange(port, "PUT / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n", 2000)
                    .startsWith("HTTP/1.1 413 "));
        QCOMPARE(count(StatusRefusals::Body), 1u);
        // Half a request: 408 after the half-sent time, though bytes keep trickling in.
        {
            QTcpSocket slow;
            slow.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(slow.waitForConnected(2000));
            QElapsedTimer t;
            t.start();
            slow.write("GET / HTTP/1.1\r\n");
            QByteArray got;
            while (slow.state() == QAbstractSocket::ConnectedState && t.elapsed() < 3000) {
                slow.write("X: y\r\n");
                QTest::qWait(50);
                got += slow.readAll();
            }
            QVERIFY2(got.startsWith("HTTP/1.1 408 "), got.constData());
            QVERIFY2(t.elapsed() < 2000, QByteArray::number(t.elapsed()).constData());
            QCOMPARE(count(StatusRefusals::Time), 1u);
        }

        // Idle connections: three are taken, a fourth refused at once; after the idle time the
        // three are closed and the endpoint answers again.
        QTRY_COMPARE(listener->connections(), 0);
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 3; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(idle.back()->waitForConnected(2000));
        }
        QTRY_COMPARE(listener->connections(), 3);
        QVERIFY(exchange(port, get, 1000).startsWith("HTTP/1.1 503 "));
        QCOMPARE(count(StatusRefusals::Connections), 1u);
        QTRY_COMPARE_WITH_TIMEOUT(listener->connections(), 0, 3000);
        for (auto &s : idle)
            QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(count(StatusRefusals::Idle), 3u);
        // A connection that asks again and again is no idle one.
        QTcpSocket busy;
        busy.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(busy.waitForConnected(2000));
        for (int i = 0; i < 6; ++i) {
            busy.write(get);
            QByteArray answer;
            QTRY_VERIFY2(
                (answer += busy.readAll()).contains("fine"),
                (QByteArray::number(i) + ' ' + answer + ' ' + QByteArray::number(busy.state())).constData());
            QTest::qWait(150);
        }
        QCOMPARE(busy.state(), QAbstractSocket::ConnectedState);

        const QByteArray metrics = refusalMetricsText(u"M"_s, *refusals);
        QVERIFY2(metrics.contains("\nkavetta_status_refused_total{module=\"M\",reason=\"idle\"} 3\n"),
                 metrics.constData());
    }

    // The real program, its soft descriptor limit at the usual 1024 as it is started, the PLC's
    // jobs going to the printer each on a connection of its own.
    void aFloodedEndpointCostsTheLineNothing()
    {
        GatewayInstance in{"Flood"};
        PlcSimProcess plc;
        QVERIFY(plc.start({u"--module"_s, u"Flood"_s}));
        QTcpServer printer;
        QVERIFY(printer.listen(QHostAddress::LocalHost, 0));
        QByteArray printed;
        connect(&printer, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = printer.nextPendingConnection())
                connect(s, &QTcpSocket::readyRead, s, [s, &printed] { printed += s->readAll() + '|'; });
        });
        const quint16 statusPort = freePort();
        in.config.plcPort = plc.port();
        in.config.remotePort = printer.serverPort();
        in.config.staticConnection = false;
        QVERIFY(in.writeConfig() &&
                in.writeOptions("[status]\nport = " + QByteArray::number(statusPort) + '\n'));
        setSoftDescriptorLimit(1024);
        in.start();
        setSoftDescriptorLimit(RLIM_INFINITY);
        const qint64 pid = in.gateway.processId();
        QTRY_VERIFY_WITH_TIMEOUT(
            exchange(statusPort, "GET /status HTTP/1.1\r\n\r\n", 500).contains("\"up\":true"), 10000);
        const qint64 rssBefore = procValue(pid, "VmRSS");
        const int fdsBefore = descriptors(pid);

        // One connection that is to send a head without end, as fast as the endpoint reads it;
        // a thousand and more that send nothing, taken as far as the endpoint takes them.
        const int stream = idleConnection(statusPort);
        // In batches the listening socket's queue holds, so that none waits for the kernel's
        // next try.
        std::vector<int> idle;
        for (int i = 0; i < 1100; ++i) {
            idle.push_back(idleConnection(statusPort));
            if (i % 25 == 24)
                QTest::qWait(40);
        }
        QTest::qWait(500);
        const int fdsIdle = descriptors(pid);
        ::send(stream, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
        qint64 streamed = 0;
        bool streamEnded = false;
        QTimer streamer;
        connect(&streamer, &QTimer::timeout, this, [&] {
            static const QByteArray field = "X-More: " + QByteArray(4000, 'm') + "\r\n";
            for (int i = 0; i < 64 && !streamEnded && streamed < qint64(80) * 1024 * 1024; ++i) {
                const ssize_t n =
                    ::send(stream, field.constData(), size_t(field.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    streamed += n;
                else if (errno != EAGAIN && errno != EWOULDBLOCK)
                    streamEnded = true;
                else
                    break;
            }
        });
        streamer.start(1);

        // Meanwhile the PLC sends its jobs; each reaches the printer.
        qint64 peakRss = 0, peakFds = 0;
        for (int job = 1; job <= 8; ++job) {
            QProcess request;
            request.start(PlcSimProcess::program(),
                          {u"request"_s, u"--port"_s, plc.portText(), u"--module"_s, u"Flood"_s, u"--data"_s,
                           u"Job %1"_s.arg(job), u"--timeout-ms"_s, u"1500"_s});
            QTRY_COMPARE_WITH_TIMEOUT(request.state(), QProcess::NotRunning, 10000);
            QTRY_VERIFY2_WITH_TIMEOUT(printed.contains("Job " + QByteArray::number(job) + '|'),
                                      printed.right(200).constData(), 5000);
            peakRss = qMax(peakRss, procValue(pid, "VmRSS"));
            peakFds = qMax<qint64>(peakFds, descriptors(pid));
        }
        streamer.stop();
        const int fdsFlooded = descriptors(pid);
        qInfo("status flood: descriptors %d before, %d with the idle connections, %lld at most, %d at the "
              "end; VmRSS %lld kB before, %lld kB at most; %lld bytes of head streamed%s",
              fdsBefore, fdsIdle, peakFds, fdsFlooded, rssBefore, peakRss, streamed,
              streamEnded ? ", then closed by the endpoint" : "");
        QVERIFY2(peakRss - rssBefore < qint64(8) * 1024, "the endpoint's clients cost the gateway memory");
        QVERIFY(streamEnded);
        for (int fd : idle)
            ::close(fd);
        ::close(stream);

        // The page answers again, and the refusals are counted.
        QByteArray metrics;
        QTRY_VERIFY_WITH_TIMEOUT((metrics = exchange(statusPort, "GET /metrics HTTP/1.1\r\n\r\n", 1000))
                                     .startsWith("HTTP/1.1 200 "),
                                 5000);
        QVERIFY2(metrics.contains("kavetta_status_refused_total{module=\"Flood\",reason=\"connections\"} ") &&
                     metrics.contains("reason=\"head\"} 1\n"),
                 metrics.constData());
        QVERIFY(in.stop());
    }
};

QTEST_MAIN(TestStatusBounds)
#include "TestStatusBounds.moc"
