// The gateway's main job over Modbus/TCP, end to end: the real program without a window, its
// PLC variables on Debian's pymodbus server through the example map, the printer stand-in as
// the peer. The test plays the PLC program through the server's console, which reads and writes
// the server's data store directly, as the PLC's own program would.
#include "ModbusServerProcess.h"
#include "common/Cp1252.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace
{

// The example map's layout (examples/Line1-modbus.modbus), unit 1.
constexpr int Anford = 0, Antwort = 1;                       // coils
constexpr int ConnectStatus = 0, AnfordErr = 1, ErrText = 3; // holding registers
constexpr int SendData = 131, RecData = 1131;
constexpr int ErrTextCapacity = 255, DataCapacity = 2000;

// Two characters per register, the first in the high byte; a NUL after a shorter text.
QList<int> registersOf(const QString &text, int capacity)
{
    QByteArray bytes = cp1252::encode(text);
    if (bytes.size() < capacity)
        bytes.append('\0');
    if (bytes.size() % 2)
        bytes.append('\0');
    QList<int> regs;
    for (qsizetype i = 0; i < bytes.size(); i += 2)
        regs << (quint8(bytes[i]) << 8 | quint8(bytes[i + 1]));
    return regs;
}

QString textOf(const QList<int> &regs)
{
    QByteArray bytes;
    for (int r : regs)
        bytes.append(char(r >> 8)).append(char(r & 0xff));
    const qsizetype nul = bytes.indexOf('\0');
    return cp1252::decode(nul < 0 ? bytes : bytes.left(nul));
}

struct Plc {
    ModbusServerProcess server;

    bool coil(int address) { return server.values(1, 'c', address, 1).value(0, -1) == 1; }
    QString text(int address, int capacity)
    {
        return textOf(server.values(1, 'h', address, (capacity + 1) / 2));
    }
    qint32 dint(int address)
    {
        const QList<int> r = server.values(1, 'h', address, 2);
        return r.size() == 2 ? qint32(quint32(r[0]) << 16 | quint32(r[1])) : -1;
    }
    // A request as the PLC program makes it: data first, then the flag.
    bool raise(const QString &sendData)
    {
        return !coil(Anford) && server.set(1, 'h', SendData, registersOf(sendData, DataCapacity)) &&
               server.set(1, 'c', Anford, {1});
    }
};

// The printer stand-in, listening on a port the system picks.
struct Printer {
    QProcess process;
    QStringList lines;
    quint16 port = 0;

    bool start(const QStringList &args)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            while (process.canReadLine())
                lines << QString::fromUtf8(process.readLine()).trimmed();
        });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(KAVETTA_BINARY_DIR "/tools/printersim/printersim"),
                      QStringList{u"--port"_s, u"0"_s} + args);
        const QRegularExpression listening(u" listening port=(\\d+)$"_s);
        if (!QTest::qWaitFor([&] { return !lines.filter(listening).isEmpty(); }, 10000))
            return false;
        port = quint16(listening.match(lines.filter(listening).first()).captured(1).toUInt());
        return port != 0;
    }
    // The texts of the requests received, in order.
    QStringList requests() const
    {
        static const QRegularExpression request(u" request bytes=\\d+ text=(.*)$"_s);
        QStringList out;
        for (const QString &line : lines)
            if (const auto m = request.match(line); m.hasMatch())
                out << m.captured(1);
        return out;
    }
    ~Printer()
    {
        process.kill();
        process.waitForFinished(3000);
    }
};

// The real program in a folder of its own, with the example map beside its configuration file.
struct Gateway {
    QTemporaryDir dir;
    QString home = dir.filePath(u"Server"_s);
    QProcess process;
    // The configuration file's base name; any other than the default one is given on the
    // command line, as a service does for each of its instances.
    QString name = u"Kavetta"_s;

    void configure(quint16 plcPort, quint16 printerPort, const QByteArray &map)
    {
        QDir().mkpath(home);
        QByteArray out;
        for (const QByteArray &r :
             {QByteArray(R"("ServerPath","~apppath~/Data")"), QByteArray(R"("Netid","127.0.0.1")"),
              R"("Port",")" + QByteArray::number(plcPort) + "\"", QByteArray(R"("Modulname","Line1")"),
              QByteArray(R"("Maschinenname","")"), QByteArray(R"("XML-Export",0)"),
              QByteArray(R"("RemoteHost","127.0.0.1")"),
              R"("RemotePort",")" + QByteArray::number(printerPort) + "\"", QByteArray(R"("ServerTest",0)"),
              QByteArray(R"("Status",1)"), QByteArray(R"("Timeout","10")"),
              QByteArray(R"("StaticConnect",1)"), QByteArray(R"("ResetOnError",1)"),
              QByteArray(R"("UTF8Codierung",0)"), QByteArray(R"("AutoConnectOff",#FALSE#)")})
            out += r + "\r\n";
        QFile config(home + u'/' + name + u".zelb"_s);
        QFile mapFile(mapPath());
        QVERIFY(config.open(QIODevice::WriteOnly) && config.write(out) == out.size());
        QVERIFY(mapFile.open(QIODevice::WriteOnly) && mapFile.write(map) == map.size());
    }
    QString mapPath() const { return home + u'/' + name + u".modbus"_s; }
    QString eventLogPath() const { return dir.filePath(u"events.log"_s); }
    QString commLogPath() const { return home + u"/Socketcomm-Line1-.dat"_s; }

    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KAVETTA_HEADLESS"_s, u"1"_s);
        env.insert(u"KAVETTA_HOME"_s, home);
        env.insert(u"KAVETTA_EVENTLOG"_s, eventLogPath());
        env.insert(u"XDG_CONFIG_HOME"_s, dir.filePath(u"xdg-home"_s));
        env.insert(u"XDG_CONFIG_DIRS"_s, dir.filePath(u"xdg"_s));
        env.insert(u"XDG_RUNTIME_DIR"_s, dir.path());
        env.remove(u"DISPLAY"_s);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QStringLiteral(KAVETTA_BINARY_DIR "/src/kavetta"),
                      name == u"Kavetta"_s ? QStringList() : QStringList{home + u'/' + name + u".zelb"_s});
        return process.waitForStarted();
    }
    static QString contents(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? cp1252::decode(f.readAll()) : QString();
    }
    ~Gateway()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(3000);
    }
};

QByteArray exampleMap()
{
    QFile f(QStringLiteral(KAVETTA_SOURCE_DIR "/examples/Line1-modbus.modbus"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestModbusGateway : public QObject
{
    Q_OBJECT

private slots:
    void mainJobOverModbus()
    {
        Plc plc;
        QVERIFY(plc.server.start({u"--trace"_s}));
        Printer printer;
        QVERIFY(printer.start({u"--reply"_s, u"OK %n"_s}));
        Gateway gw;
        gw.name = u"Line1"_s;
        gw.configure(plc.server.port(), printer.port, exampleMap());
        QVERIFY(gw.start());
        // Once the gateway polls the request flag, it has its handles and its registration.
        QTRY_VERIFY_WITH_TIMEOUT(
            !plc.server.linesMatching(u"^read unit=1 area=c addr=0 count=1$"_s).isEmpty(), 10000);

        // A request: its bytes reach the printer in the plants' code page, the flag is taken back,
        // and the printer's answer comes into the answer registers with the answer flag set.
        QVERIFY(plc.raise(u"  Etikett \u00c4 1  "_s));
        QTRY_COMPARE_WITH_TIMEOUT(printer.requests(), QStringList{u"Etikett \u00c4 1"_s}, 10000);
        QTRY_VERIFY(!plc.coil(Anford));
        QTRY_VERIFY(plc.coil(Antwort));
        QCOMPARE(plc.text(RecData, DataCapacity), u"OK 11"_s); // one byte per character
        QCOMPARE(plc.server.values(1, 'h', ConnectStatus, 1), QList<int>{7});

        // The next answer waits until the PLC program has taken this one.
        QVERIFY(plc.raise(u"second"_s));
        QTRY_COMPARE(printer.requests().size(), 2);
        QTRY_VERIFY(!plc.coil(Anford));
        QTest::qWait(200);
        QCOMPARE(plc.text(RecData, DataCapacity), u"OK 11"_s);
        QVERIFY(plc.server.set(1, 'c', Antwort, {0}));
        QTRY_COMPARE(plc.text(RecData, DataCapacity), u"OK 6"_s);
        QTRY_VERIFY(plc.coil(Antwort));
        QVERIFY(plc.server.set(1, 'c', Antwort, {0}));

        // A label whose template is missing: nothing goes out, the code and text go to the PLC.
        QVERIFY(plc.raise(u"/SetLabel=1#missing.xml#A#1"_s));
        QTRY_COMPARE(plc.dint(AnfordErr), 1);
        QTRY_VERIFY(!plc.coil(Anford));
        const QString errText = plc.text(ErrText, ErrTextCapacity);
        QVERIFY2(errText.contains(u"Template not found: "_s) && errText.contains(u"/Labels/missing.xml"_s),
                 qPrintable(errText));
        QCOMPARE(printer.requests().size(), 2);

        // The PLC is switched off and on again: a fresh data store on the same port. The gateway
        // makes its handles anew (each probes its variable: the first and the last register of
        // the long texts, in the order of the handles) and serves later requests.
        plc.server.kill();
        QVERIFY(plc.server.restart());
        static const QRegularExpression probe(u"^read unit=1 area=h addr=(1130|2130) count=1$"_s);
        QTRY_COMPARE_WITH_TIMEOUT(plc.server.linesMatching(probe.pattern()).size(), 2, 10000);
        QCOMPARE(plc.server.linesMatching(probe.pattern()),
                 (QStringList{u"read unit=1 area=h addr=1130 count=1"_s,
                              u"read unit=1 area=h addr=2130 count=1"_s}));
        QTRY_VERIFY(!plc.server.linesMatching(u"^read unit=1 area=c addr=0 count=1$"_s).isEmpty());
        QVERIFY(plc.raise(u"after restart"_s));
        QTRY_COMPARE_WITH_TIMEOUT(printer.requests().value(2), u"after restart"_s, 10000);
        QTRY_COMPARE(plc.text(RecData, DataCapacity), u"OK 13"_s);
        QTRY_VERIFY(plc.coil(Antwort));
        QVERIFY(gw.process.state() == QProcess::Running);
    }

    // A PLC that stops answering without closing the connection: the printer's answer waits in
    // the gateway, and reaches the PLC once it answers again and the handles are made anew.
    void plcThatHangs()
    {
        Plc plc;
        QVERIFY(plc.server.start({u"--trace"_s}));
        Printer printer;
        QVERIFY(printer.start({u"--reply"_s, u"OK %n"_s, u"--delay-ms"_s, u"300"_s}));
        Gateway gw;
        gw.configure(plc.server.port(), printer.port, exampleMap());
        QVERIFY(gw.start());
        QTRY_VERIFY_WITH_TIMEOUT(
            !plc.server.linesMatching(u"^read unit=1 area=c addr=0 count=1$"_s).isEmpty(), 10000);
        QVERIFY(plc.raise(u"during"_s));
        QTRY_COMPARE(printer.requests(), QStringList{u"during"_s});
        plc.server.pause();
        // The answer arrives while the PLC hangs; the gateway's first call waits its bound, the
        // link is down, and the answer waits.
        QTRY_COMPARE(printer.lines.filter(u" reply bytes=4 text=OK 6"_s).size(), 1);
        QTest::qWait(1500);
        QVERIFY(gw.process.state() == QProcess::Running);
        const int from = int(plc.server.lines().size());
        plc.server.pause(false);
        QTRY_VERIFY_WITH_TIMEOUT(
            !plc.server.linesMatching(u"^read unit=1 area=h addr=2130 count=1$"_s, from).isEmpty(), 10000);
        QTRY_VERIFY(plc.coil(Antwort));
        QCOMPARE(plc.text(RecData, DataCapacity), u"OK 6"_s);
        QVERIFY(plc.server.set(1, 'c', Antwort, {0}));
        QVERIFY(plc.raise(u"after"_s));
        QTRY_COMPARE(printer.requests(), (QStringList{u"during"_s, u"after"_s}));
        QTRY_VERIFY(plc.coil(Antwort));

        // The PLC gone for good: the gateway still ends through its unload, at once.
        plc.server.kill();
        gw.process.terminate();
        QVERIFY(gw.process.waitForFinished(5000));
        QCOMPARE(gw.process.exitCode(), 0);
    }

    // A map that does not parse: the one message naming file, line and problem, in the
    // communication log and in the event log, before the PLC variables fail to connect.
    void mapThatDoesNotParse()
    {
        Plc plc;
        QVERIFY(plc.server.start());
        Gateway gw;
        gw.configure(plc.server.port(), 9, exampleMap() + "Line1.anford 1 coil 7 BOOL\n");
        QVERIFY(gw.start());
        const QString message =
            u"Modbus map "_s + gw.mapPath() + u", line 15: Line1.anford is already defined in line 8"_s;
        QTRY_VERIFY_WITH_TIMEOUT(Gateway::contents(gw.commLogPath()).contains(u"Line1.SendData1851"_s),
                                 10000);
        const QString commLog = Gateway::contents(gw.commLogPath());
        QCOMPARE(commLog.count(message), 1);
        QVERIFY2(commLog.contains(u" Create VarHandle: Line1.SendData1851"_s), qPrintable(commLog));
        QVERIFY(commLog.indexOf(message) < commLog.indexOf(u"Create VarHandle"_s));
        // In the event log once as the log's copy (4) and once as the operator's message (2),
        // as every logged error is reported without a display.
        const auto types = [&] {
            QStringList out;
            for (const QString &line : Gateway::contents(gw.eventLogPath()).split(u'\n'))
                if (line.contains(message))
                    out << line.left(1);
            out.sort();
            return out;
        };
        QTRY_COMPARE(types(), (QStringList{u"2"_s, u"4"_s}));
        QCOMPARE(plc.server.values(1, 'c', Anford, 1), QList<int>{0});
    }
};

QTEST_GUILESS_MAIN(TestModbusGateway)
#include "TestModbusGateway.moc"
