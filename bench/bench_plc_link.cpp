// Round-trip cost of the PLC link against the runtime stand-in on loopback, beside the raw TCP
// round trip of this machine measured in the same run.
//
//   bench_plc_link [path/to/plcsim] [iterations]
//
// The default plcsim is ../tools/plcsim/plcsim relative to this program's folder.
#include "plclink/RuntimeLink.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

// Request of `request` bytes answered by `answer` bytes: the shape of one link operation.
Stats rawRoundTrip(size_t request, size_t answer, int iterations)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    // Without its listener the server thread below would wait in accept() for ever.
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        std::perror("bench_plc_link: listening on loopback");
        std::exit(1);
    }
    const int one = 1;

    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::vector<char> in(request), out(answer, 'a');
        while (readFull(fd, in.data(), in.size()) && writeFull(fd, out.data(), out.size())) {
        }
        ::close(fd);
    });

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
        std::perror("bench_plc_link: connecting on loopback");
        std::exit(1);
    }
    std::vector<char> out(request, 'q'), in(answer);
    std::vector<double> us;
    us.reserve(size_t(iterations));
    for (int i = 0; i < iterations + iterations / 10; ++i) {
        const auto t0 = Clock::now();
        writeFull(fd, out.data(), out.size());
        readFull(fd, in.data(), in.size());
        if (i >= iterations / 10)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    ::close(fd);
    server.join();
    ::close(listener);
    return stats(us);
}

template <typename F> Stats measure(int iterations, F call)
{
    std::vector<double> us;
    us.reserve(size_t(iterations));
    for (int i = 0; i < iterations + iterations / 10; ++i) {
        const auto t0 = Clock::now();
        if (call(i) != 0) {
            std::fprintf(stderr, "call failed at iteration %d\n", i);
            std::exit(1);
        }
        if (i >= iterations / 10)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return stats(us);
}

void row(const char *what, const Stats &s, const Stats *raw)
{
    std::printf("%-34s median %8.2f us   p99 %8.2f us", what, s.median, s.p99);
    if (raw)
        std::printf("   ratio %.2f", s.median / raw->median);
    std::printf("\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString plcsim = args.size() > 1 ? args[1]
                                           : QDir(QCoreApplication::applicationDirPath())
                                                 .absoluteFilePath(QStringLiteral("../tools/plcsim/plcsim"));
    const int iterations = args.size() > 2 ? args[2].toInt() : 20000;

    QProcess sim;
    const quint16 simPort = startPlcSim(sim, plcsim, QStringLiteral("Bench"));
    if (simPort == 0)
        return 1;

    RuntimeLink link;
    link.setPort(QString::number(simPort));
    qint32 hFlag = 0, hText = 0;
    if (link.createVarHandle(QStringLiteral("Bench.antwort"), hFlag) != 0 ||
        link.createVarHandle(QStringLiteral("Bench.RecData"), hText) != 0) {
        std::fprintf(stderr, "cannot create handles\n");
        return 1;
    }
    const QString textA(2000, QLatin1Char('x'));
    const QString textB(2000, QLatin1Char('y'));

    // Frame sizes of the two operations, so that the raw round trips carry the same bytes.
    const Stats rawSmall = rawRoundTrip(18, 15, iterations);
    const Stats rawLarge = rawRoundTrip(2016, 13, iterations / 4);
    bool flag = false;
    const Stats readBool = measure(iterations, [&](int) { return link.readVarBool(hFlag, 2, flag); });
    const Stats writeString = measure(iterations / 4, [&](int i) {
        const QString &t = i % 2 ? textA : textB;
        return link.writeVarString(hText, int(t.size() * 2), t);
    });

    std::printf("PLC link round trips on loopback, %d iterations (after warm-up)\n", iterations);
    row("raw TCP round trip (18 B / 15 B)", rawSmall, nullptr);
    row("raw TCP round trip (2016 B / 13 B)", rawLarge, nullptr);
    row("readVarBool", readBool, &rawSmall);
    row("writeVarString (2000 chars)", writeString, &rawLarge);
    std::printf("writeVarString against the small raw round trip: ratio %.2f\n",
                writeString.median / rawSmall.median);
    const double worst = std::max(readBool.median / rawSmall.median, writeString.median / rawLarge.median);
    std::printf("target ratio < 3: %s (worst %.2f)\n", worst < 3 ? "met" : "missed", worst);

    link.releaseLink();
    sim.closeWriteChannel();
    sim.terminate();
    sim.waitForFinished(2000);
    return 0;
}
