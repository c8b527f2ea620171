// The status endpoint's cost: the real program without a window, the PLC runtime stand-in, and
// this program as the PLC side (its own link to the stand-in), the printer (a TCP server) and
// the scraper.
//
//   bench_status [scrapes] [answers]      defaults 500 and 300
//
// (a) one scrape of /metrics and of /status, median and p99, beside a request the endpoint
//     answers without building anything (404): the same connection and HTTP work.
// (b) answer hand-over (the printer's send to ".antwort" true as this program's notification
//     sees it) while /metrics and /status are scraped 10 times a second, beside the same figure
//     with the endpoint off, in the same run (off, scraped, off again).
#include "plclink/RuntimeLink.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

QElapsedTimer g_clock;
double nowMs()
{
    return double(g_clock.nsecsElapsed()) / 1e6;
}

bool spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    const double end = nowMs() + timeoutMs;
    while (!done()) {
        if (nowMs() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// One GET on a fresh connection, as a scraper does it; microseconds until the whole answer is in,
// or -1. Plain sockets: it also runs on the scraper's own thread.
double scrape(quint16 port, const char *path)
{
    const auto t0 = std::chrono::steady_clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string request =
        std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    writeFull(fd, request.data(), request.size());
    // Read the head, then as many bytes as its Content-Length says.
    std::string in;
    char buf[65536];
    size_t want = std::string::npos;
    while (want == std::string::npos || in.size() < want) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        in.append(buf, size_t(n));
        const size_t head = in.find("\r\n\r\n");
        const size_t length = in.find("ontent-Length: ");
        if (want == std::string::npos && head != std::string::npos && length != std::string::npos)
            want = head + 4 + std::stoul(in.substr(length + 15));
    }
    ::close(fd);
    if (want == std::string::npos || in.size() < want)
        return -1;
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    g_clock.start();
    const int scrapes = qMax(20, app.arguments().value(1, QStringLiteral("500")).toInt());
    const int answers = qMax(20, app.arguments().value(2, QStringLiteral("300")).toInt());
    const QString bin = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absolutePath();

    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("Server"));
    QDir().mkpath(home);
    QProcess plcsim;
    const quint16 plcPort =
        startPlcSim(plcsim, bin + QStringLiteral("/tools/plcsim/plcsim"), QStringLiteral("Bench"));
    if (plcPort == 0)
        return 2;

    QTcpServer printer;
    QTcpSocket *peer = nullptr;
    printer.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&printer, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = printer.nextPendingConnection()) {
            if (peer)
                peer->deleteLater();
            peer = s;
        }
    });
    QFile config(home + QStringLiteral("/Kavetta.zelb"));
    if (!config.open(QIODevice::WriteOnly))
        return 2;
    config.write("\"ServerPath\",\"\"\r\n\"Netid\",\"127.0.0.1\"\r\n\"Port\",\"" +
                 QByteArray::number(plcPort) +
                 "\"\r\n\"Modulname\",\"Bench\"\r\n\"RemoteHost\",\"127.0.0.1\"\r\n\"RemotePort\",\"" +
                 QByteArray::number(printer.serverPort()) +
                 "\"\r\n\"Status\",1\r\n\"Timeout\",\"10\"\r\n\"StaticConnect\",1\r\n");
    config.close();

    RuntimeLink link;
    link.setNetId(QStringLiteral("127.0.0.1"));
    link.setPort(QString::number(plcPort));
    qint32 hAntwort = 0, nAntwort = 0;
    int tag = 0;
    link.createVarHandle(QStringLiteral("Bench.antwort"), hAntwort);
    link.connectVar(QStringLiteral("Bench.antwort"), 4, 1, nAntwort, &tag);
    double antwortAt = -1;
    QObject::connect(&link, &PlcLink::connectUpdate, [&](qint32, const QVariant &value, void *user) {
        if (user == &tag && value.toBool())
            antwortAt = nowMs();
    });

    const quint16 statusPort = freePort();
    // One gateway run: the status endpoint on or off; while scraped, a thread asks /metrics and
    // /status in turn ten times a second. Gives the hand-over times in microseconds.
    const auto handOver = [&](bool endpoint, bool scraped, std::vector<double> *scrapeCosts = nullptr) {
        QFile ini(home + QStringLiteral("/Kavetta.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write(endpoint ? "[status]\nport = " + QByteArray::number(statusPort) + "\n" : "");
        ini.close();
        peer = nullptr;
        QProcess gateway;
        startHeadlessGateway(gateway, dir.path(), home);
        std::vector<double> times;
        if (!spinUntil([&] { return peer != nullptr; }, 10000)) {
            std::fprintf(stderr, "the gateway did not connect to the printer\n");
            return times;
        }
        if (scrapeCosts) {
            for (int i = 0; i < scrapes; ++i)
                scrapeCosts[0].push_back(scrape(statusPort, "/metrics"));
            for (int i = 0; i < scrapes; ++i)
                scrapeCosts[1].push_back(scrape(statusPort, "/status"));
            for (int i = 0; i < scrapes; ++i)
                scrapeCosts[2].push_back(scrape(statusPort, "/nothing"));
        }
        std::atomic<bool> stop{false};
        std::thread scraper([&] {
            for (int i = 0; scraped && !stop; ++i) {
                scrape(statusPort, i % 2 ? "/status" : "/metrics");
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        for (int i = 0; i < answers; ++i) {
            antwortAt = -1;
            const double t0 = nowMs();
            peer->write("ANSWER " + QByteArray::number(i));
            peer->flush();
            if (!spinUntil([&] { return antwortAt >= 0; }, 5000))
                break;
            times.push_back((antwortAt - t0) * 1000.0);
            link.writeVarBool(hAntwort, 2, false);
            spinUntil([] { return false; }, 10); // a PLC takes its answers spaced, not back to back
        }
        stop = true;
        scraper.join();
        gateway.terminate();
        gateway.waitForFinished(5000);
        return times;
    };

    std::vector<double> costs[3];
    std::vector<double> off = handOver(false, false);
    const std::vector<double> on = handOver(true, true, costs);
    const std::vector<double> off2 = handOver(false, false);
    off.insert(off.end(), off2.begin(), off2.end());
    plcsim.write("quit\n");
    plcsim.waitForFinished(3000);

    const Stats m = stats(costs[0]), s = stats(costs[1]), raw = stats(costs[2]), a = stats(off),
                b = stats(on);
    std::printf("(a) one scrape, %d each, fresh connection: /metrics median %.0f us, p99 %.0f us; /status "
                "median %.0f "
                "us, p99 %.0f us; beside a 404 of the same endpoint: median %.0f us, p99 %.0f us\n",
                scrapes, m.median, m.p99, s.median, s.p99, raw.median, raw.p99);
    std::printf("(b) answer hand-over: endpoint scraped 10/s, %zu answers: median %.0f us, p99 %.0f us; "
                "endpoint off, "
                "%zu answers (before and after): median %.0f us, p99 %.0f us  (goal: no measurable change)\n",
                on.size(), b.median, b.p99, off.size(), a.median, a.p99);
    return 0;
}
