// The gateway's main job over Modbus/TCP, end to end: the real program without a window, its
// PLC variables on Debian's pymodbus server through the example map, the printer stand-in as
// the peer. The test plays the PLC program through the server's console, which reads and writes
// the server's data store directly, as the PLC's own program would.
#include "GatewayInstance.h"
#include "ModbusServerProcess.h"
#include "common/Cp1252.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace
{

// The example map's layout (examples/Line1-modbus.modbus), unit 1.
constexpr int Anford = 0, Antwort = 1; // coils
constexpr int SendData = 131, RecData = 1131;
const QString PollsFlag = u"^read unit=1 area=c addr=0 count=1$"_s;

struct Plc {
    ModbusServerProcess server;

    bool coil(int address) { return server.values(1, 'c', address, 1).value(0, -1) == 1; }
    // A text of up to 256 characters: two a register, the first in the high byte, NUL-ended.
    QString text(int address)
    {
        QByteArray bytes;
        for (int r : server.values(1, 'h', address, 128))
            bytes.append(char(r >> 8)).append(char(r & 0xff));
        return cp1252::decode(bytes.left(bytes.indexOf('\0')));
    }
    // A request as the PLC program makes it: data first, then the flag.
    bool raise(const QString &sendData)
    {
        QByteArray bytes = cp1252::encode(sendData);
        bytes.append(2 - bytes.size() % 2, '\0');
        QList<int> regs;
        for (qsizetype i = 0; i < bytes.size(); i += 2)
            regs << (quint8(bytes[i]) << 8 | quint8(bytes[i + 1]));
        return !coil(Anford) && server.set(1, 'h', SendData, regs) && server.set(1, 'c', Anford, {1});
    }
};

// The real program with the example map (and mapSuffix) beside its configuration file. A
// configuration file other than the default one is given on the command line, as a service
// does for each of its instances.
struct Gateway : GatewayInstance {
    QString name;
    Gateway(quint16 plcPort, quint16 printerPort, const QString &configName, const QByteArray &mapSuffix = {})
        : GatewayInstance("Line1"), name(configName)
    {
        config.plcPort = plcPort;
        config.remotePort = printerPort;
        QFile example(QStringLiteral(KAVETTA_SOURCE_DIR "/examples/Line1-modbus.modbus"));
        QVERIFY(example.open(QIODevice::ReadOnly));
        QVERIFY(write(u'/' + name + u".zelb"_s, config.text()) &&
                write(u'/' + name + u".modbus"_s, example.readAll() + mapSuffix));
        start({}, name == u"Kavetta"_s ? QStringList() : QStringList{path(".zelb")});
    }
    QString path(const char *suffix) const { return home + u'/' + name + QLatin1String(suffix); }
    QString file(const QString &path) const
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? cp1252::decode(f.readAll()) : QString();
    }
};

} // namespace

class TestModbusGateway : public QObject
{
    Q_OBJECT

private slots:
    void mainJobOverModbus()
    {
        Plc plc;
        QVERIFY(plc.server.start({u"--trace"_s}));
        // The printer answers late, so that the PLC can hang while an answer is on its way.
        QProcess printer;
        const quint16 printerPort =
            startPrinter(printer, {u"--reply"_s, u"OK %n"_s, u"--delay-ms"_s, u"300"_s});
        QVERIFY(printerPort);
        QString printed;
        const auto printerSaw = [&](const QString &what) {
            printed += QString::fromUtf8(printer.readAllStandardOutput());
            return int(printed.count(what));
        };
        Gateway gw(plc.server.port(), printerPort, u"Line1"_s);
        // Once the gateway polls the request flag, it has its handles and its registration.
        QTRY_VERIFY_WITH_TIMEOUT(!plc.server.linesMatching(PollsFlag).isEmpty(), 10000);
        const QString target =
            u"the Modbus/TCP PLC at 127.0.0.1:%1 (map %2)"_s.arg(plc.server.port()).arg(gw.path(".modbus"));
        const auto down = [&](const QString &why) {
            return u"PLC link down: cannot connect to %1: %2. The link keeps trying."_s.arg(target, why);
        };
        const QString back = u"PLC link back: connected to %1."_s.arg(target);
        const auto linkEntries = [&] {
            return gw.entries().filter(QRegularExpression(u"^PLC link( down| back|:)"_s));
        };

        // A request: its bytes reach the printer in the plants' code page, the flag is taken back,
        // and the printer's answer comes into the answer registers with the answer flag set.
        QVERIFY(plc.raise(u"  Etikett \u00c4 1  "_s));
        QTRY_COMPARE_WITH_TIMEOUT(printerSaw(u" request bytes=11 text=Etikett \u00c4 1\n"_s), 1, 10000);
        QTRY_VERIFY(!plc.coil(Anford));
        QTRY_VERIFY(plc.coil(Antwort));
        QCOMPARE(plc.text(RecData), u"OK 11"_s);                  // one byte per character
        QCOMPARE(plc.server.values(1, 'h', 0, 1), QList<int>{7}); // ConnectStatus
        QVERIFY(plc.server.set(1, 'c', Antwort, {0}));

        // The PLC is switched off and on again: a fresh data store on the same port. The gateway
        // makes its handles anew and serves later requests.
        plc.server.kill();
        QTRY_COMPARE_WITH_TIMEOUT(linkEntries().size(), 1, 5000);
        QVERIFY(plc.server.restart());
        QTRY_VERIFY_WITH_TIMEOUT(!plc.server.linesMatching(PollsFlag).isEmpty(), 10000);
        QVERIFY(plc.raise(u"during"_s));
        QTRY_COMPARE_WITH_TIMEOUT(printerSaw(u" request bytes=6 text=during\n"_s), 1, 10000);

        // The PLC stops answering without closing the connection while the answer is on its
        // way: the answer waits in the gateway and reaches the PLC once it answers again and
        // the handles are made anew.
        plc.server.pause();
        QTRY_COMPARE(printerSaw(u" reply bytes=4 text=OK 6"_s), 1);
        QTRY_COMPARE_WITH_TIMEOUT(linkEntries().size(), 3, 10000);
        QCOMPARE(gw.gateway.state(), QProcess::Running);
        const int from = int(plc.server.lines().size());
        plc.server.pause(false);
        QTRY_VERIFY_WITH_TIMEOUT(
            !plc.server.linesMatching(u"^read unit=1 area=h addr=2130 count=1$"_s, from).isEmpty(), 10000);
        QTRY_VERIFY(plc.coil(Antwort));
        QCOMPARE(plc.text(RecData), u"OK 6"_s);

        // Each time the PLC could not be reached, one entry in the event log says so, with the
        // target and the reason in words, and one that the link is back.
        QCOMPARE(linkEntries(), (QStringList{down(u"connection refused (nothing listens on that port)"_s),
                                             back, down(u"connected, but no answer within 500 ms"_s), back}));

        // The PLC gone for good: the gateway still ends through its unload, at once.
        plc.server.kill();
        QVERIFY(gw.stop());
    }

    // A map that does not parse: the one message naming file, line and problem, in the
    // communication log and in the event log, before the PLC variables fail to connect.
    void mapThatDoesNotParse()
    {
        Plc plc;
        QVERIFY(plc.server.start());
        Gateway gw(plc.server.port(), 9, u"Kavetta"_s, "Line1.anford 1 coil 7 BOOL\n");
        const QString message =
            u"Modbus map "_s + gw.path(".modbus") + u", line 15: Line1.anford is already defined in line 8"_s;
        const QString commLog = gw.home + u"/Socketcomm-Line1-.dat"_s;
        QTRY_VERIFY_WITH_TIMEOUT(gw.file(commLog).contains(u" Create VarHandle: Line1.SendData1851"_s),
                                 10000);
        const QString log = gw.file(commLog);
        QCOMPARE(log.count(message), 1);
        QVERIFY(log.indexOf(message) < log.indexOf(u"Create VarHandle"_s));
        // In the event log once as the log's copy and once as the operator's message.
        QTRY_COMPARE(gw.entries(message).size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestModbusGateway)
#include "TestModbusGateway.moc"
