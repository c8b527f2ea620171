// The gateway's main job end to end on loopback: the real program without a window, the PLC
// runtime stand-in, and this program as both the PLC side (its own link to the stand-in) and the
// printer (a TCP server). Each figure is printed beside the raw figure it is measured against.
//
//   bench_e2e [rounds] [idle-seconds]      defaults 200 and 60
//
// (a) answer hand-over: from the printer's send to ".antwort" true as this program's
//     notification sees it, beside the link's raw call round trip.
// (b) request overhead: ".anford" true to the bytes at the printer, minus the time the request
//     waits in the queue for the supervision cycle (connection per request: from the request
//     taken, seen as ".anford" reset, to the cycle's connect).
// (c) idle CPU and memory, connected to both stand-ins, beside a bare Qt loop with a 500 ms timer.
// (d) start-up: from exec to the first ".ConnectStatus" of 7, and to listening in the server role.
// (e) the line-safety options, static connection, each request answered: the request taken
//     (".anford" true to false: the journal writes the item before the reset) and the answer
//     hand-over, with every option off and with every option on (journal included), same run.
#include "plclink/RuntimeLink.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
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

struct Bench {
    QString bin;
    QTemporaryDir dir;
    QString home = dir.filePath(QStringLiteral("Server"));
    quint16 plcPort = 0;
    quint16 printerPort = freePort();
    QProcess plcsim;
    QTcpServer printer;
    QTcpSocket *peer = nullptr;
    QByteArray received;
    double lastAccept = 0, lastBytes = 0;

    void writeConfig(bool server, bool staticConnection)
    {
        QByteArray out;
        const auto rec = [&out](const QByteArray &r) { out += r + "\r\n"; };
        rec(R"("ServerPath","~apppath~/Data")");
        rec(R"("Netid","127.0.0.1")");
        rec(R"("Port",")" + QByteArray::number(plcPort) + '"');
        rec(R"("Modulname","Bench")");
        rec(R"("Maschinenname","")");
        rec(R"("XML-Export",0)");
        rec(R"("RemoteHost","127.0.0.1")");
        rec(R"("RemotePort",")" + QByteArray::number(printerPort) + '"');
        rec(QByteArray(R"("ServerTest",)") + (server ? "1" : "0"));
        rec(R"("Status",0)");
        rec(R"("Timeout","10")");
        rec(QByteArray(R"("StaticConnect",)") + (staticConnection ? "1" : "0"));
        rec(R"("ResetOnError",1)");
        rec(R"("UTF8Codierung",0)");
        rec(R"("AutoConnectOff",#FALSE#)");
        QDir().mkpath(home);
        QFile f(home + QStringLiteral("/Kavetta.zelb"));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(out);
    }

    void startGateway(QProcess &gateway) { startHeadlessGateway(gateway, dir.path(), home); }

    // Waits on the event loop, so that this program's PLC link goes on answering meanwhile.
    static void stop(QProcess &p)
    {
        const auto ended = [&p] { return p.state() == QProcess::NotRunning; };
        p.terminate();
        if (!spinUntil(ended, 5000))
            p.kill();
        spinUntil(ended, 1000);
    }
};

// This program as the PLC. Its link lives on the event loop: when the bench waits without the
// loop for 2 s (a process that is slow to stop under load), the link takes the runtime for gone
// and reconnects, and the runtime forgets the handles of the old connection. They are made anew
// on the state change that follows, and a write that fails meanwhile is tried again, so that a
// request the bench means to raise is raised.
struct PlcSide {
    RuntimeLink link;
    qint32 hSend = 0, hAnford = 0, hAntwort = 0, hStatus = 0;
    int tagAntwort = 0, tagAnford = 0, tagStatus = 0;

    PlcSide()
    {
        QObject::connect(&link, &PlcLink::stateChanged, [this](qint32 state, qint32) {
            if (state == 5)
                attach();
        });
    }

    qint32 attach()
    {
        qint32 n = 0;
        for (const qint32 rc : {link.createVarHandle(QStringLiteral("Bench.SendData"), hSend),
                                link.createVarHandle(QStringLiteral("Bench.anford"), hAnford),
                                link.createVarHandle(QStringLiteral("Bench.antwort"), hAntwort),
                                link.createVarHandle(QStringLiteral("Bench.ConnectStatus"), hStatus),
                                link.connectVar(QStringLiteral("Bench.antwort"), 4, 1, n, &tagAntwort),
                                link.connectVar(QStringLiteral("Bench.anford"), 4, 1, n, &tagAnford),
                                link.connectVar(QStringLiteral("Bench.ConnectStatus"), 4, 1, n, &tagStatus)})
            if (rc != 0)
                return rc;
        return 0;
    }

    // The code of the last attempt: 0 once the runtime took the write, within 5 s.
    qint32 write(const std::function<qint32()> &op)
    {
        const double end = nowMs() + 5000;
        for (;;) {
            const qint32 rc = op();
            if (rc == 0 || nowMs() > end)
                return rc;
            if (rc == plcproto::InvalidHandle)
                attach();
            spinUntil([] { return false; }, 50);
        }
    }

    // A flag as the runtime holds it now, for the message of a wait that gave up.
    QString readNow(qint32 handle)
    {
        bool value = false;
        const qint32 rc = link.readVarBool(handle, 2, value);
        return rc != 0 ? QStringLiteral("unknown, read code %1").arg(rc)
               : value ? QStringLiteral("true")
                       : QStringLiteral("false");
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    g_clock.start();
    const int rounds = qMax(10, app.arguments().value(1, QStringLiteral("200")).toInt());
    const int idleSeconds = qMax(5, app.arguments().value(2, QStringLiteral("60")).toInt());
    Bench b;
    b.bin = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absolutePath();

    b.plcPort =
        startPlcSim(b.plcsim, b.bin + QStringLiteral("/tools/plcsim/plcsim"), QStringLiteral("Bench"));
    if (b.plcPort == 0)
        return 2;

    b.printer.listen(QHostAddress::LocalHost, b.printerPort);
    QObject::connect(&b.printer, &QTcpServer::newConnection, [&b] {
        while (QTcpSocket *s = b.printer.nextPendingConnection()) {
            b.lastAccept = nowMs();
            if (b.peer)
                b.peer->deleteLater();
            b.peer = s;
            QObject::connect(s, &QTcpSocket::disconnected, s, [&b, s] {
                if (b.peer == s)
                    b.peer = nullptr;
            });
            QObject::connect(s, &QTcpSocket::readyRead, s, [&b, s] {
                b.received += s->readAll();
                b.lastBytes = nowMs();
            });
        }
    });

    PlcSide plc;
    plc.link.setNetId(QStringLiteral("127.0.0.1"));
    plc.link.setPort(QString::number(b.plcPort));
    if (const qint32 rc = plc.attach()) {
        std::fprintf(stderr, "cannot make the handles of the Bench variables on plcsim: code %d\n", rc);
        return 2;
    }
    RuntimeLink &link = plc.link;
    double antwortAt = -1, anfordResetAt = -1, status7At = -1;
    QObject::connect(&link, &PlcLink::connectUpdate, [&](qint32, const QVariant &value, void *user) {
        if (user == &plc.tagAntwort && value.toBool())
            antwortAt = nowMs();
        else if (user == &plc.tagAnford && !value.toBool())
            anfordResetAt = nowMs();
        else if (user == &plc.tagStatus && value.toInt() == 7 && status7At < 0)
            status7At = nowMs();
    });

    // Raw: the link's own call round trip.
    std::vector<double> raw;
    for (int i = 0; i < 2000; ++i) {
        bool v = false;
        const double t0 = nowMs();
        link.readVarBool(plc.hAntwort, 2, v);
        raw.push_back((nowMs() - t0) * 1000.0);
    }
    const Stats rawStats = stats(raw);

    // (d) start-up, client role with a static connection: exec to ".ConnectStatus" 7.
    std::vector<double> startup, listening;
    for (int i = 0; i < 5; ++i) {
        b.writeConfig(false, true);
        plc.write([&] { return link.writeVarInt(plc.hStatus, 2, 0); });
        QCoreApplication::processEvents();
        status7At = -1;
        QProcess gateway;
        const double t0 = nowMs();
        b.startGateway(gateway);
        if (spinUntil([&] { return status7At >= 0; }, 10000))
            startup.push_back(status7At - t0);
        else
            std::fprintf(stderr, "start %d: waited 10000 ms for \".ConnectStatus\" 7, not seen\n", i);
        Bench::stop(gateway);
    }
    b.printer.close(); // the server role below listens on the printer's port
    for (int i = 0; i < 5; ++i) {
        b.writeConfig(true, true);
        QProcess gateway;
        const double t0 = nowMs();
        b.startGateway(gateway);
        const bool up = spinUntil(
            [&] {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, b.printerPort);
                return probe.waitForConnected(20);
            },
            10000);
        if (up)
            listening.push_back(nowMs() - t0);
        else
            std::fprintf(stderr, "start %d: waited 10000 ms for the server role to listen on port %d\n", i,
                         int(b.printerPort));
        Bench::stop(gateway);
    }
    b.printer.listen(QHostAddress::LocalHost, b.printerPort);

    // (a) answer hand-over and (c) idle, static connection.
    b.writeConfig(false, true);
    spinUntil([&] { return b.peer == nullptr; }, 2000);
    QProcess gateway;
    b.startGateway(gateway);
    if (!spinUntil([&] { return b.peer != nullptr; }, 10000)) {
        std::fprintf(stderr, "the gateway did not connect to the printer\n");
        return 1;
    }
    std::vector<double> handover;
    for (int i = 0; i < rounds; ++i) {
        antwortAt = -1;
        const double t0 = nowMs();
        b.peer->write("ANSWER " + QByteArray::number(i));
        b.peer->flush();
        if (!spinUntil([&] { return antwortAt >= 0; }, 5000)) {
            std::fprintf(
                stderr,
                "answer %d not handed over: waited 5000 ms for \".antwort\" true (runtime holds %s)\n", i,
                qPrintable(plc.readNow(plc.hAntwort)));
            break;
        }
        handover.push_back((antwortAt - t0) * 1000.0);
        plc.write([&] { return link.writeVarBool(plc.hAntwort, 2, false); });
        QCoreApplication::processEvents();
    }
    QProcess bare, bareLink;
    bare.start(b.bin + QStringLiteral("/bench/bench_idle"), {QStringLiteral("--bare")});
    bareLink.start(
        b.bin + QStringLiteral("/bench/bench_idle"),
        {QStringLiteral("--bare-link"), QString::number(b.plcPort), QStringLiteral("Bench.antwort")});
    bare.waitForStarted();
    bareLink.waitForStarted();
    spinUntil([] { return false; }, 2000);
    const qint64 g0 = cpuNanoseconds(gateway.processId()), b0 = cpuNanoseconds(bare.processId()),
                 l0 = cpuNanoseconds(bareLink.processId());
    spinUntil([] { return false; }, idleSeconds * 1000);
    const qint64 g1 = cpuNanoseconds(gateway.processId()), b1 = cpuNanoseconds(bare.processId()),
                 l1 = cpuNanoseconds(bareLink.processId());
    const double gRss = residentMegabytes(gateway.processId());
    Bench::stop(bare);
    Bench::stop(bareLink);
    Bench::stop(gateway);

    // (b) request overhead, connection per request.
    b.writeConfig(false, false);
    QProcess perRequest;
    b.startGateway(perRequest);
    spinUntil([] { return false; }, 1500);
    std::vector<double> overhead, total;
    const int requests = qMax(5, rounds / 20);
    for (int i = 0; i < requests; ++i) {
        const QByteArray text = "REQUEST " + QByteArray::number(i);
        b.received.clear();
        anfordResetAt = -1;
        b.lastAccept = -1;
        const qint32 sendCode = plc.write([&] {
            return link.writeVarString(plc.hSend, qint32(2 * text.size()), QString::fromLatin1(text));
        });
        const double t0 = nowMs();
        const qint32 raiseCode = plc.write([&] { return link.writeVarBool(plc.hAnford, 2, true); });
        if (sendCode != 0 || raiseCode != 0) {
            std::fprintf(stderr,
                         "request %d not raised: writing \".SendData\" gave code %d, \".anford\" true %d\n",
                         i, sendCode, raiseCode);
            break;
        }
        if (!spinUntil([&] { return b.received == text && anfordResetAt >= 0 && b.lastAccept >= 0; }, 8000)) {
            std::fprintf(
                stderr,
                "request %d not served within 8000 ms; waited for: \".anford\" reset by the gateway (%s;"
                " the runtime holds %s), the gateway's connection to the printer (%s), \"%s\" at the"
                " printer (received \"%s\")\n",
                i, anfordResetAt >= 0 ? "seen" : "not seen", qPrintable(plc.readNow(plc.hAnford)),
                b.lastAccept >= 0 ? "seen" : "not seen", text.constData(), b.received.constData());
            break;
        }
        overhead.push_back((anfordResetAt - t0) + (b.lastBytes - b.lastAccept));
        total.push_back(b.lastBytes - t0);
        spinUntil([] { return false; }, 2100); // past the 2 s spacing
    }
    Bench::stop(perRequest);

    // (e) every line-safety option off, then on.
    const QByteArray allOn =
        "[safety]\nreportPeerFailures = true\nanswerTimeoutSec = 5\nanswerFraming = line\n"
        "dropLateAnswers = true\nrequirePrintData = true\nallowedPeers = 127.0.0.1\n"
        "maxQueuedItems = 100\n[journal]\nenabled = true\nreplayMaxAgeSec = 60\n";
    std::vector<double> taken[2], handedOver[2];
    const int answered = qMax(10, rounds / 5);
    for (int on = 0; on < 2; ++on) {
        QFile options(b.home + QStringLiteral("/Kavetta.ini"));
        if (options.open(QIODevice::WriteOnly | QIODevice::Truncate))
            options.write(on ? allOn : QByteArray());
        options.close();
        b.writeConfig(false, true);
        QProcess lineSafety;
        b.startGateway(lineSafety);
        if (!spinUntil([&] { return b.peer != nullptr; }, 10000)) {
            std::fprintf(stderr, "(e) the gateway did not connect to the printer\n");
            break;
        }
        for (int i = 0; i < answered; ++i) {
            const QByteArray text = "REQUEST " + QByteArray::number(i);
            b.received.clear();
            anfordResetAt = -1;
            antwortAt = -1;
            plc.write([&] {
                return link.writeVarString(plc.hSend, qint32(2 * text.size()), QString::fromLatin1(text));
            });
            const double t0 = nowMs();
            plc.write([&] { return link.writeVarBool(plc.hAnford, 2, true); });
            if (!spinUntil([&] { return anfordResetAt >= 0 && b.received == text && b.peer; }, 8000)) {
                std::fprintf(stderr, "(e) request %d: not taken and sent within 8000 ms\n", i);
                break;
            }
            taken[on].push_back(anfordResetAt - t0);
            const double t1 = nowMs();
            b.peer->write("ANSWER " + QByteArray::number(i) + '\n');
            b.peer->flush();
            if (!spinUntil([&] { return antwortAt >= 0; }, 5000)) {
                std::fprintf(stderr, "(e) answer %d not handed over within 5000 ms\n", i);
                break;
            }
            handedOver[on].push_back((antwortAt - t1) * 1000.0);
            plc.write([&] { return link.writeVarBool(plc.hAntwort, 2, false); });
        }
        Bench::stop(lineSafety);
        spinUntil([&] { return b.peer == nullptr; }, 2000);
    }
    b.plcsim.write("quit\n");
    Bench::stop(b.plcsim);

    const Stats a = stats(handover), o = stats(overhead), t = stats(total), s = stats(startup),
                l = stats(listening);
    const double scale = 60.0 / idleSeconds / 1e6;
    const double g = double(g1 - g0) * scale, bare0 = double(b1 - b0) * scale,
                 withWrites = double(l1 - l0) * scale;
    std::printf("raw link call round trip (readVarBool): median %.0f us, p99 %.0f us\n", rawStats.median,
                rawStats.p99);
    std::printf(
        "(a) answer hand-over, %zu answers: median %.0f us, p99 %.0f us  (goal: median at most 1500 us)\n",
        handover.size(), a.median, a.p99);
    std::printf(
        "(b) request overhead, %zu requests: median %.2f ms, p99 %.2f ms  (goal: median at most 5 ms);"
        " whole latency with the cycle's wait: median %.0f ms\n",
        overhead.size(), o.median, o.p99, t.median);
    std::printf(
        "(c) idle over %d s: gateway %.1f ms per 60 s, bare loop %.1f ms per 60 s, ratio %.2f (goal at most"
        " 1.5); gateway resident %.1f MB (goal at most 40 MB)\n",
        idleSeconds, g, bare0, bare0 > 0 ? g / bare0 : 0.0, gRss);
    std::printf(
        "    the same bare loop writing one INT to the runtime per tick, as the cycle does: %.1f ms per 60 s;"
        " gateway / that %.2f\n",
        withWrites, withWrites > 0 ? g / withWrites : 0.0);
    std::printf("(d) start-up, median of 5: exec to ConnectStatus 7 %.0f ms (client, static connection);"
                " exec to listening %.0f ms (server role)\n",
                s.median, l.median);
    const Stats t0 = stats(taken[0]), t1 = stats(taken[1]), h0 = stats(handedOver[0]),
                h1 = stats(handedOver[1]);
    // The reference of the journal's cost: one flush of a small write to the same disk.
    std::vector<double> flushes;
    {
        QFile probe(b.home + QStringLiteral("/flush-probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            for (int i = 0; i < 50; ++i) {
                probe.write(QByteArray(100, 'x'));
                probe.flush();
                const double f0 = nowMs();
                ::fdatasync(probe.handle());
                flushes.push_back(nowMs() - f0);
            }
        }
    }
    const Stats f = stats(flushes);
    std::printf(
        "(e) %zu answered requests each: request taken (.anford true -> false) median %.2f ms, p99 %.2f ms"
        " with the options off; %.2f ms, p99 %.2f ms with every option on: the journal adds %.2f ms"
        " (goal under 2 ms); one flush of this disk (fdatasync): median %.2f ms, p99 %.2f ms\n",
        taken[1].size(), t0.median, t0.p99, t1.median, t1.p99, t1.median - t0.median, f.median, f.p99);
    std::printf(
        "    answer hand-over median %.0f us, p99 %.0f us with the options off; %.0f us, p99 %.0f us with"
        " every option on\n",
        h0.median, h0.p99, h1.median, h1.p99);
    return 0;
}
