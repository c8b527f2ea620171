// What a PLC runtime that stops answering (SIGSTOP) costs the gateway's event loop: the PLC
// cycles run as in the gateway (Timer2 every millisecond with an answer waiting for the PLC,
// Timer1 writing ".ConnectStatus" every 500 ms) against the runtime stand-in, which is paused
// for a while and then continued. Printed per second: the time the loop spent blocked in the
// PLC cycles and the largest lateness of a 5 ms probe timer, beside the link's call time-out
// (the one wait a hung runtime may cost) and the figures of the seconds before the pause.
//
//   bench_plc_hang [path/to/plcsim] [seconds paused]
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "plc/PlcCycles.h"
#include "plc/PlcRecord.h"
#include "plclink/RuntimeLink.h"
#include "socket/QtSocketEndpoint.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <vector>

namespace
{

struct NullLog : LogWriter {
    int records = 0;
    void writeLog(const QString &, bool) override { ++records; }
};

struct Second {
    double blockedMs = 0;   // inside the PLC cycles' handlers
    double longestMs = 0;   // longest single handler
    double probeLateMs = 0; // largest lateness of the probe timer
    int ticks = 0;          // response ticks run
    QString phase;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString plcsim = args.size() > 1 ? args[1]
                                           : QDir(QCoreApplication::applicationDirPath())
                                                 .absoluteFilePath(QStringLiteral("../tools/plcsim/plcsim"));
    const int pausedSeconds = args.size() > 2 ? qMax(2, args[2].toInt()) : 6;
    const int before = 2, after = 3;

    QProcess sim;
    const quint16 simPort = startPlcSim(sim, plcsim, QStringLiteral("Bench"));
    if (simPort == 0)
        return 1;
    // The PLC never takes the answer: every tick reads ".antwort" and writes ".ConnectStatus".
    sim.write("set Bench.antwort true\n");
    sim.waitForBytesWritten(1000);

    RuntimeLink link;
    link.setPort(QString::number(simPort));
    QtSocketEndpoint socket;
    GatewayState state;
    state.settings.moduleName = QStringLiteral("Bench");
    state.settings.staticConnection = true;
    NullLog log;
    PlcCycles cycles(state, link, socket, log);
    cycles.connectPlc();
    if (!cycles.plcRecord() || cycles.plcRecord()->hConnectAnfordVar == 0) {
        std::fprintf(stderr, "cannot connect: %s\n", qPrintable(state.lblError));
        return 1;
    }
    state.receiveQueue << QStringLiteral("answer");

    std::vector<Second> seconds(size_t(before + pausedSeconds + after));
    QElapsedTimer clock;
    clock.start();
    const auto current = [&]() -> Second & {
        return seconds[std::min(seconds.size() - 1, size_t(clock.elapsed() / 1000))];
    };
    const auto timed = [&](auto handler) {
        QElapsedTimer t;
        t.start();
        handler();
        const double ms = double(t.nsecsElapsed()) / 1e6;
        Second &s = current();
        s.blockedMs += ms;
        s.longestMs = qMax(s.longestMs, ms);
    };

    QTimer timer2;
    timer2.setInterval(1);
    QObject::connect(&timer2, &QTimer::timeout, [&] {
        timed([&] { cycles.responseTick(); });
        ++current().ticks;
    });
    QTimer timer1;
    timer1.setInterval(500);
    QObject::connect(&timer1, &QTimer::timeout,
                     [&] { timed([&] { cycles.showSocketState(socket.state()); }); });
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(5);
    qint64 lastProbe = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastProbe != 0) {
            Second &s = current();
            s.probeLateMs = qMax(s.probeLateMs, double(now - lastProbe) / 1e6 - 5);
        }
        lastProbe = now;
    });

    const auto pid = pid_t(sim.processId());
    QTimer::singleShot(before * 1000, [&] { ::kill(pid, SIGSTOP); });
    QTimer::singleShot((before + pausedSeconds) * 1000, [&] { ::kill(pid, SIGCONT); });
    // Then the PLC takes the earlier answer, and the waiting one is handed over.
    QTimer::singleShot((before + pausedSeconds + 1) * 1000, [&] {
        sim.write("set Bench.antwort false\n");
        sim.waitForBytesWritten(1000);
    });
    QTimer::singleShot((before + pausedSeconds + after) * 1000, &app, &QCoreApplication::quit);
    for (size_t i = 0; i < seconds.size(); ++i)
        seconds[i].phase = int(i) < before                   ? QStringLiteral("running")
                           : int(i) < before + pausedSeconds ? QStringLiteral("paused")
                                                             : QStringLiteral("continued");
    timer1.start();
    timer2.start();
    probe.start();
    app.exec();

    std::printf("PLC runtime paused (SIGSTOP) for %d s; link call time-out %d ms\n", pausedSeconds,
                link.callTimeout());
    std::printf("%-4s %-10s %12s %12s %14s %10s\n", "s", "phase", "blocked ms", "longest ms", "probe late ms",
                "ticks");
    double pausedBlocked = 0, pausedAfterFirst = 0, runningBlocked = 0;
    for (size_t i = 0; i < seconds.size(); ++i) {
        const Second &s = seconds[i];
        std::printf("%-4zu %-10s %12.2f %12.2f %14.2f %10d\n", i, qPrintable(s.phase), s.blockedMs,
                    s.longestMs, s.probeLateMs, s.ticks);
        if (s.phase == QLatin1String("paused")) {
            pausedBlocked += s.blockedMs;
            if (int(i) > before)
                pausedAfterFirst += s.blockedMs;
        } else if (s.phase == QLatin1String("running")) {
            runningBlocked += s.blockedMs;
        }
    }
    std::printf("blocked while paused: %.1f ms in all (raw reference: one call time-out = %d ms), "
                "%.2f ms/s after the first paused second (running: %.2f ms/s)\n",
                pausedBlocked, link.callTimeout(), pausedAfterFirst / (pausedSeconds - 1),
                runningBlocked / before);
    std::printf("answer handed over after the runtime continued: %s; last error: %s\n",
                state.receiveQueue.isEmpty() ? "yes" : "no", qPrintable(state.lblError));

    cycles.terminateAll();
    link.releaseLink();
    sim.kill();
    sim.waitForFinished(2000);
    return 0;
}
