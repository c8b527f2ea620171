// Round-trip cost of the Modbus PLC link against Debian's pymodbus server on loopback, in the
// same run as the raw TCP round trips of the same frame sizes, the bare library round trip on
// the same server, and the other PLC link against its runtime stand-in.
//
// Then the answer hand-over through the whole gateway: the real program without a window, its
// PLC variables on the same server through a map, this program as the printer (a TCP server)
// and as the PLC program (a connection of its own that reads the answer coil over and over).
// Measured from the printer's send to the answer coil true as the PLC side reads it.
//
//   bench_modbus [iterations] [path/to/modbus_server.py] [path/to/plcsim] [answers]
//
// Defaults: 2000 iterations (a quarter of them for the 2000-character writes), the server script
// of the source tree, ../tools/plcsim/plcsim relative to this program's folder, 200 answers.
#include "plclink/ModbusLink.h"
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

#include <modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using Shape = std::vector<std::pair<size_t, size_t>>; // request and answer bytes, in order

// One "operation" is the sequence of round trips in `shape`, as the link's requests would be.
Stats rawRoundTrips(const Shape &shape, int iterations)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    // Without its listener the server thread below would wait in accept() for ever.
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        std::perror("bench_modbus: listening on loopback");
        std::exit(1);
    }
    const int one = 1;

    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::vector<char> buffer(4096, 'a');
        for (bool open = true; open;) {
            for (const auto &[request, answer] : shape) {
                open = readFull(fd, buffer.data(), request) && writeFull(fd, buffer.data(), answer);
                if (!open)
                    break;
            }
        }
        ::close(fd);
    });

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
        std::perror("bench_modbus: connecting on loopback");
        std::exit(1);
    }
    std::vector<char> buffer(4096, 'q');
    std::vector<double> us;
    us.reserve(size_t(iterations));
    for (int i = 0; i < iterations + iterations / 10; ++i) {
        const auto t0 = Clock::now();
        for (const auto &[request, answer] : shape) {
            writeFull(fd, buffer.data(), request);
            readFull(fd, buffer.data(), answer);
        }
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
        if (const int rc = call(i); rc != 0) {
            std::fprintf(stderr, "call failed at iteration %d: %d\n", i, rc);
            std::exit(1);
        }
        if (i >= iterations / 10)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return stats(us);
}

void row(const char *what, const Stats &s, const Stats *raw)
{
    std::printf("  %-44s median %9.1f us   p99 %9.1f us", what, s.median, s.p99);
    if (raw)
        std::printf("   x%.2f", s.median / raw->median);
    std::printf("\n");
}

// A child process that prints "... port=N" once it serves.
bool startServer(QProcess &p, const QString &program, const QStringList &args, QString &port)
{
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return false;
    const QRegularExpression re(QStringLiteral("port=(\\d+)"));
    QByteArray out;
    for (int i = 0; i < 100 && !re.match(QString::fromUtf8(out)).hasMatch(); ++i) {
        p.waitForReadyRead(200);
        out += p.readAllStandardOutput();
    }
    port = re.match(QString::fromUtf8(out)).captured(1);
    return !port.isEmpty();
}

// The gateway's answer hand-over: from the printer's send to the answer coil true, read by the
// PLC side on its own connection. Gives an empty list when the gateway does not come up.
std::vector<double> answerHandOver(const QString &modbusPort, int answers)
{
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("Server"));
    QDir().mkpath(home);
    QTcpServer printer;
    printer.listen(QHostAddress::LocalHost, 0);
    QByteArray config;
    for (const QByteArray &r :
         {QByteArray(R"("ServerPath","~apppath~/Data")"), QByteArray(R"("Netid","127.0.0.1")"),
          QByteArray(R"("Port",")") + modbusPort.toLatin1() + "\"", QByteArray(R"("Modulname","Bench")"),
          QByteArray(R"("Maschinenname","")"), QByteArray(R"("XML-Export",0)"),
          QByteArray(R"("RemoteHost","127.0.0.1")"),
          QByteArray(R"("RemotePort",")") + QByteArray::number(printer.serverPort()) + "\"",
          QByteArray(R"("ServerTest",0)"), QByteArray(R"("Status",0)"), QByteArray(R"("Timeout","10")"),
          QByteArray(R"("StaticConnect",1)"), QByteArray(R"("ResetOnError",1)"),
          QByteArray(R"("UTF8Codierung",0)"), QByteArray(R"("AutoConnectOff",#FALSE#)")})
        config += r + "\r\n";
    const QByteArray map = "Bench.anford 1 coil 0 BOOL\n"
                           "Bench.antwort 1 coil 1 BOOL\n"
                           "Bench.ConnectStatus 1 holding 0 INT\n"
                           "Bench.anfordErr 1 holding 1 DINT\n"
                           "Bench.anfordErrText 1 holding 3 STRING(255)\n"
                           "Bench.SendData 1 holding 131 STRING(2000)\n"
                           "Bench.RecData 1 holding 1131 STRING(2000)\n";
    QFile configFile(home + QStringLiteral("/Kavetta.zelb")),
        mapFile(home + QStringLiteral("/Kavetta.modbus"));
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(config) != config.size() ||
        !mapFile.open(QIODevice::WriteOnly) || mapFile.write(map) != map.size())
        return {};
    configFile.close();
    mapFile.close();

    // The PLC program: its own connection, the answer coil reset before the first answer.
    modbus_t *plc = modbus_new_tcp("127.0.0.1", modbusPort.toInt());
    if (!plc || modbus_connect(plc) != 0)
        return {};
    modbus_set_slave(plc, 1);
    modbus_write_bit(plc, 1, 0);

    QProcess gateway;
    startHeadlessGateway(gateway, dir.path(), home);

    // The gateway makes its PLC handles at load, before its first connection to the printer.
    QTcpSocket *line = nullptr;
    QElapsedTimer waited;
    waited.start();
    while (!line && waited.elapsed() < 10000) {
        printer.waitForNewConnection(100);
        line = printer.nextPendingConnection();
    }
    std::vector<double> us;
    for (int i = 0; line && i < answers + answers / 10; ++i) {
        const auto t0 = Clock::now();
        line->write("ANSWER " + QByteArray::number(i));
        line->flush();
        uint8_t flag = 0;
        while (modbus_read_bits(plc, 1, 1, &flag) == 1 && !flag &&
               Clock::now() - t0 < std::chrono::seconds(5)) {
        }
        if (!flag)
            break;
        if (i >= answers / 10)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        modbus_write_bit(plc, 1, 0);
    }
    gateway.terminate();
    if (!gateway.waitForFinished(5000))
        gateway.kill();
    gateway.waitForFinished(2000);
    modbus_close(plc);
    modbus_free(plc);
    return us;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int iterations = args.size() > 1 ? qMax(20, args[1].toInt()) : 2000;
    const QString script =
        args.size() > 2 ? args[2] : QStringLiteral(KAVETTA_SOURCE_DIR "/tests/support/modbus_server.py");
    const QString plcsim = args.size() > 3 ? args[3]
                                           : QDir(QCoreApplication::applicationDirPath())
                                                 .absoluteFilePath(QStringLiteral("../tools/plcsim/plcsim"));
    const int answers = args.size() > 4 ? qMax(20, args[4].toInt()) : 200;

    QProcess modbusServer, runtime;
    QString modbusPort, runtimePort;
    if (!startServer(modbusServer, QStringLiteral("/usr/bin/python3"),
                     {script, QStringLiteral("--port"), QStringLiteral("0")}, modbusPort)) {
        std::fprintf(stderr, "cannot start %s (python3-pymodbus installed?)\n", qPrintable(script));
        return 1;
    }
    if (!startServer(runtime, plcsim,
                     {QStringLiteral("serve"), QStringLiteral("--port"), QStringLiteral("0"),
                      QStringLiteral("--module"), QStringLiteral("Bench")},
                     runtimePort)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(plcsim));
        return 1;
    }

    modbusmap::VariableMap map;
    QString problem;
    map.parse(QStringLiteral("Bench.antwort 1 coil 1 BOOL\nBench.RecData 1 holding 1131 STRING(2000)\n"),
              QStringLiteral("bench"), problem);
    ModbusLink modbus(map);
    modbus.setPort(modbusPort);
    RuntimeLink kelo;
    kelo.setPort(runtimePort);
    qint32 mFlag = 0, mText = 0, kFlag = 0, kText = 0;
    if (modbus.createVarHandle(QStringLiteral("Bench.antwort"), mFlag) != 0 ||
        modbus.createVarHandle(QStringLiteral("Bench.RecData"), mText) != 0 ||
        kelo.createVarHandle(QStringLiteral("Bench.antwort"), kFlag) != 0 ||
        kelo.createVarHandle(QStringLiteral("Bench.RecData"), kText) != 0) {
        std::fprintf(stderr, "cannot create handles\n");
        return 1;
    }

    // The library alone, on a connection of its own to the same server.
    modbus_t *bare = modbus_new_tcp("127.0.0.1", modbusPort.toInt());
    if (!bare || modbus_connect(bare) != 0) {
        std::fprintf(stderr, "libmodbus cannot connect\n");
        return 1;
    }
    modbus_set_slave(bare, 1);

    const QString textA(2000, QLatin1Char('x'));
    const QString textB(2000, QLatin1Char('y'));
    const int large = qMax(20, iterations / 4);
    bool flag = false;

    // Frame sizes: a coil read is 12 bytes out, 10 back; 2000 characters are 1000 registers,
    // eight writes of 123 registers (259 bytes, 12 back) and one of 16 (45 bytes, 12 back).
    const Shape modbusSmall{{12, 10}};
    Shape modbusLarge(8, {259, 12});
    modbusLarge.push_back({45, 12});
    const Stats rawSmall = rawRoundTrips(modbusSmall, iterations);
    const Stats rawLarge = rawRoundTrips(modbusLarge, large);
    const Stats rawKeloSmall = rawRoundTrips({{18, 15}}, iterations);
    const Stats rawKeloLarge = rawRoundTrips({{2016, 13}}, large);

    const Stats bareRead = measure(iterations, [&](int) {
        uint8_t bit = 0;
        return modbus_read_bits(bare, 1, 1, &bit) == 1 ? 0 : 1;
    });
    const Stats modbusRead = measure(iterations, [&](int) { return modbus.readVarBool(mFlag, 2, flag); });
    const Stats modbusWrite = measure(large, [&](int i) {
        const QString &t = i % 2 ? textA : textB;
        return modbus.writeVarString(mText, int(t.size() * 2), t);
    });
    const Stats keloRead = measure(iterations, [&](int) { return kelo.readVarBool(kFlag, 2, flag); });
    const Stats keloWrite = measure(large, [&](int i) {
        const QString &t = i % 2 ? textA : textB;
        return kelo.writeVarString(kText, int(t.size() * 2), t);
    });

    std::printf("PLC link round trips on loopback, %d iterations (%d for the writes), after warm-up\n",
                iterations, large);
    std::printf("Modbus/TCP against pymodbus (x = against the raw round trip of the same bytes):\n");
    row("raw TCP, 12 B / 10 B", rawSmall, nullptr);
    row("raw TCP, 8 x 259 B / 12 B + 45 B / 12 B", rawLarge, nullptr);
    row("libmodbus alone: read 1 coil", bareRead, &rawSmall);
    row("ModbusLink readVarBool", modbusRead, &rawSmall);
    row("ModbusLink writeVarString (2000 chars)", modbusWrite, &rawLarge);
    std::printf("  link against the library alone: readVarBool x%.2f\n", modbusRead.median / bareRead.median);
    std::printf("Own protocol against plcsim:\n");
    row("raw TCP, 18 B / 15 B", rawKeloSmall, nullptr);
    row("raw TCP, 2016 B / 13 B", rawKeloLarge, nullptr);
    row("RuntimeLink readVarBool", keloRead, &rawKeloSmall);
    row("RuntimeLink writeVarString (2000 chars)", keloWrite, &rawKeloLarge);
    std::printf("Modbus link against the own link: readVarBool x%.2f, writeVarString x%.2f\n",
                modbusRead.median / keloRead.median, modbusWrite.median / keloWrite.median);

    modbus_close(bare);
    modbus_free(bare);
    modbus.releaseLink();
    kelo.releaseLink();

    const std::vector<double> handOver = answerHandOver(modbusPort, answers);
    if (handOver.empty()) {
        std::fprintf(stderr, "the gateway did not hand over an answer\n");
    } else {
        const Stats h = stats(handOver);
        std::printf(
            "Answer hand-over through the gateway over Modbus, %zu answers: printer's send to the answer"
            " coil true as the PLC side reads it\n",
            handOver.size());
        row("hand-over", h, &modbusRead);
        // The gateway takes an answer on its response cycle's next tick (1 ms after the data
        // arrived), then makes four calls: the socket state, the answer flag, the text, the flag.
        std::printf(
            "  (x = against the link's raw call round trip, ModbusLink readVarBool above; per answer the"
            " gateway waits for its 1 ms response tick, then makes four link calls)\n");
    }
    for (QProcess *p : {&modbusServer, &runtime}) {
        p->closeWriteChannel();
        p->terminate();
        if (!p->waitForFinished(2000)) {
            p->kill();
            p->waitForFinished(2000);
        }
    }
    return 0;
}
