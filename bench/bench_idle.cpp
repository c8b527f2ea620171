// Idle cost of the gateway: the real program, without a window, with a static connection to the
// printer stand-in and nothing to do, beside a bare Qt event loop with one 500 ms timer measured
// over the same minute. CPU time comes from the scheduler's statistics (/proc/<pid>/schedstat,
// nanoseconds on the CPU), not from the 10 ms tick counters; memory is the resident set.
//
//   bench_idle [seconds]        default 60
//   bench_idle --bare           (internal) the bare event loop
//   bench_idle --bare-link PORT (internal) the bare loop that also writes one INT to the PLC
//                               runtime stand-in on PORT per tick, as the supervision cycle does
#include "plclink/RuntimeLink.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace
{

QByteArray configuration(quint16 port)
{
    QByteArray out;
    for (const QByteArray &r :
         {QByteArray(R"("ServerPath","~apppath~/Data")"), QByteArray(R"("Netid","")"),
          QByteArray(R"("Port","")"), QByteArray(R"("Modulname","Idle")"),
          QByteArray(R"("Maschinenname","")"), QByteArray(R"("XML-Export",0)"),
          QByteArray(R"("RemoteHost","127.0.0.1")"), R"("RemotePort",")" + QByteArray::number(port) + '"',
          QByteArray(R"("ServerTest",0)"), QByteArray(R"("Status",1)"), QByteArray(R"("Timeout","10")"),
          QByteArray(R"("StaticConnect",1)"), QByteArray(R"("ResetOnError",1)"),
          QByteArray(R"("UTF8Codierung",0)"), QByteArray(R"("AutoConnectOff",#FALSE#)")})
        out += r + "\r\n";
    return out;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--bare")) {
        QTimer timer;
        timer.start(500);
        return app.exec();
    }
    if (app.arguments().value(1) == QLatin1String("--bare-link")) {
        RuntimeLink link;
        link.setNetId(QStringLiteral("127.0.0.1"));
        link.setPort(app.arguments().value(2));
        qint32 handle = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (handle == 0)
                link.createVarHandle(app.arguments().value(3), handle);
            link.writeVarInt(handle, 2, 7);
        });
        timer.start(500);
        return app.exec();
    }
    const int seconds = qMax(5, app.arguments().value(1, QStringLiteral("60")).toInt());
    const QString bin = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absolutePath();

    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("Server"));
    QDir().mkpath(home);
    const quint16 port = freePort();
    QFile config(home + QStringLiteral("/Kavetta.zelb"));
    if (!config.open(QIODevice::WriteOnly) || config.write(configuration(port)) <= 0)
        return 2;
    config.close();

    QProcess printer;
    printer.start(
        bin + QStringLiteral("/tools/printersim/printersim"),
        {QStringLiteral("--port"), QString::number(port), QStringLiteral("--reply"), QStringLiteral("OK")});
    QProcess gateway;
    startHeadlessGateway(gateway, dir.path(), home);
    QProcess bare;
    bare.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--bare")});
    if (!printer.waitForStarted() || !gateway.waitForStarted() || !bare.waitForStarted()) {
        std::fprintf(stderr, "could not start the programs\n");
        return 2;
    }
    // Start-up and the first connect are not idling.
    QThread::sleep(3);
    const qint64 g0 = cpuNanoseconds(gateway.processId()), b0 = cpuNanoseconds(bare.processId());
    QThread::sleep(static_cast<unsigned long>(seconds));
    const qint64 g1 = cpuNanoseconds(gateway.processId()), b1 = cpuNanoseconds(bare.processId());
    const double gRss = residentMegabytes(gateway.processId()), bRss = residentMegabytes(bare.processId());
    const QByteArray events = [&] {
        QFile f(dir.filePath(QStringLiteral("events.log")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    for (QProcess *p : {&gateway, &bare, &printer}) {
        p->terminate();
        if (!p->waitForFinished(3000))
            p->kill();
    }
    if (g0 < 0 || g1 < 0 || b0 < 0 || b1 < 0) {
        std::fprintf(stderr, "a program ended early\n");
        return 1;
    }
    const double scale = 60.0 / seconds / 1e6; // ns over the run -> ms per 60 s
    const double g = double(g1 - g0) * scale, b = double(b1 - b0) * scale;
    std::printf("idle CPU over %d s, in ms per 60 s\n", seconds);
    std::printf("  gateway (static connection, no traffic): %8.1f ms  (%.3f %% of one core)\n", g, g / 600.0);
    std::printf("  bare Qt loop with one 500 ms timer:      %8.1f ms  (%.3f %% of one core)\n", b, b / 600.0);
    std::printf("  ratio gateway / bare:                    %8.2f   (goal at most 1.2)\n",
                b > 0 ? g / b : 0.0);
    std::printf("resident memory: gateway %.1f MB, bare loop %.1f MB (goal at most 40 MB)\n", gRss, bRss);
    if (events.contains("refused"))
        std::printf("note: the gateway reported connection problems during the run\n");
    return 0;
}
