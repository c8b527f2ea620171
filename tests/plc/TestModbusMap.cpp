// The Modbus variable map: what a hand-written map means, the one message of a map that does
// not parse, and how an instance comes to use the Modbus link.
#include "common/Cp1252.h"
#include "plc/KeloOcx.h"
#include "plc/ModbusLink.h"
#include "plc/PlcLinkFactory.h"
#include "plc/VariableMap.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace modbusmap;
using namespace Qt::StringLiterals;

class TestModbusMap : public QObject
{
    Q_OBJECT

private slots:
    void readsAHandWrittenMap();
    void namesFileLineAndProblem_data();
    void namesFileLineAndProblem();
    void readsFilesInEitherEncoding();
    void mapBesideTheConfigurationChoosesTheLink();
    void exampleMapServesItsConfiguration();
};

void TestModbusMap::readsAHandWrittenMap()
{
    const QString text = u"# Line 1\r\n"
                         u"poll = 50\r\n"
                         u"MAX_REGISTERS = 124   # a comment after a setting\n"
                         u"  Line1.anford     1   coil     0      BOOL\n"
                         u"Line1.antwort      1   Coil     0x1    bool   # trailing comment\n"
                         u"Line1.Status       255 holding  0      INT\n"
                         u"Line1.anfordErr    0   holding  1      DINT   cdab\n"
                         u"Line1.Text         1   holding  3      STRING(255) BA\n"
                         u"Line1.Odd          1   holding  131    string(3)\n"
                         u"Line1.Ready        1   discrete 0      BOOL\n"
                         u"Line1.Level        1   input    65534  DINT   DCBA\n"
                         u"Line1.Flag         1   holding  133    BOOL\n"
                         u"\n"_s;
    VariableMap map;
    QString problem;
    QVERIFY2(map.parse(text, u"plant.modbus"_s, problem), qPrintable(problem));
    QVERIFY(problem.isEmpty());
    QCOMPARE(map.variables().size(), 9);
    QCOMPARE(map.pollMs(), 50);
    QCOMPARE(map.maxReadRegisters(), 124);
    QCOMPARE(map.maxWriteRegisters(), 123);

    // Names compare without regard to letter case.
    const Variable *antwort = map.find(u"LINE1.ANTWORT"_s);
    QVERIFY(antwort && antwort->name == u"Line1.antwort"_s);
    QCOMPARE(antwort->line, 5);
    QCOMPARE(antwort->address, 1);
    QVERIFY(!map.find(u"Line1"_s));

    const Variable *err = map.find(u"Line1.anfordErr"_s);
    QCOMPARE(err->unit, 0);
    QVERIFY(err->swapWords && !err->swapBytes);
    QVERIFY(map.find(u"Line1.Level"_s)->swapWords && map.find(u"Line1.Level"_s)->swapBytes);
    QCOMPARE(map.find(u"Line1.Text"_s)->count(), 128);
    QVERIFY(map.find(u"Line1.Text"_s)->swapBytes);
    QCOMPARE(map.find(u"Line1.Odd"_s)->count(), 2);
    QVERIFY(!map.find(u"Line1.Ready"_s)->isWritable());
    QVERIFY(map.find(u"Line1.Flag"_s)->isWritable());

    // Defaults of a map without settings.
    QVERIFY(map.parse(u"A 1 coil 0 BOOL"_s, u"m"_s, problem));
    QCOMPARE(map.pollMs(), DefaultPollMs);
    QCOMPARE(map.maxReadRegisters(), 125);
    QCOMPARE(map.maxWriteRegisters(), 123);
}

void TestModbusMap::namesFileLineAndProblem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    const QString ok = u"Good 1 coil 9 BOOL\n"_s;
    const auto row = [&](const char *name, const QString &badLine, const QString &problem) {
        QTest::newRow(name) << ok + badLine << u"Modbus map /etc/k/Line1.modbus, line 2: "_s + problem;
    };
    row("few fields", u"Line1.anford 1 coil 0"_s,
        u"expected NAME UNIT AREA ADDRESS TYPE [ORDER], found 4 fields"_s);
    row("too many fields", u"A 1 holding 0 DINT ABCD extra"_s, u"unexpected \"extra\" after the order"_s);
    row("unit out of range", u"A 248 coil 0 BOOL"_s, u"unit \"248\" is not 0..247 or 255"_s);
    row("unknown area", u"A 1 holdng 0 INT"_s,
        u"unknown area \"holdng\" (coil, discrete, holding or input)"_s);
    row("address out of range", u"A 1 coil 65536 BOOL"_s, u"address \"65536\" is not 0..65535"_s);
    row("unknown type", u"A 1 holding 0 REAL"_s, u"unknown type \"REAL\" (BOOL, INT, DINT or STRING(n))"_s);
    row("string too long", u"A 1 holding 0 STRING(2001)"_s, u"STRING(2001) is not 1..2000 characters long"_s);
    row("string without length", u"A 1 holding 0 STRING"_s,
        u"STRING needs its length in characters, for example STRING(80)"_s);
    row("register type on a coil", u"A 1 coil 0 INT"_s,
        u"INT needs a register area (holding or input), not coil"_s);
    row("order on INT", u"A 1 holding 0 INT BA"_s,
        u"INT takes no order (only DINT and STRING do); found \"BA\""_s);
    row("bad DINT order", u"A 1 holding 0 DINT ACBD"_s,
        u"order \"ACBD\" does not fit DINT (ABCD, CDAB, BADC or DCBA)"_s);
    row("bad STRING order", u"A 1 holding 0 STRING(4) CDAB"_s,
        u"order \"CDAB\" does not fit STRING (AB or BA)"_s);
    row("beyond the last register", u"A 1 holding 65000 STRING(2000)"_s,
        u"STRING(2000) at address 65000 takes 1000 registers and ends beyond address 65535"_s);
    row("duplicate name", u"good 1 coil 3 BOOL"_s, u"good is already defined in line 1"_s);
    row("overlap with an earlier item", u"Later 1 coil 9 BOOL"_s,
        u"Later overlaps Good (line 1) in coils 9..9 of unit 1"_s);
    row("unknown setting", u"polling = 20"_s, u"unknown setting \"polling\" (poll or max_registers)"_s);
    row("poll too short", u"poll = 2"_s, u"poll = 2 is not a period of 5..10000 milliseconds"_s);
    row("too many registers", u"max_registers = 126"_s, u"max_registers = 126 is not a count of 1..125"_s);

    // An item that overlaps one further down the file is reported at the later line, which
    // names the earlier; items of other units or tables do not collide.
    QTest::newRow("overlap reported at the later line")
        << u"Long 1 holding 100 STRING(20)\nOther 2 holding 105 INT\nIn 1 input 105 INT\nShort 1 holding 109 DINT\n"_s
        << u"Modbus map /etc/k/Line1.modbus, line 4: Short overlaps Long (line 1) in holding registers 109..109 of unit 1"_s;
    QTest::newRow("first problem and how many more")
        << u"A 1 coil 0 BOOL\nB 1 coil 0 BOOL\nC 1 coil\nD 1 coil 1 INT\n"_s
        << u"Modbus map /etc/k/Line1.modbus, line 2: B overlaps A (line 1) in coils 0..0 of unit 1 (and 2 more problems)"_s;
}

void TestModbusMap::namesFileLineAndProblem()
{
    QFETCH(QString, text);
    QFETCH(QString, message);
    VariableMap map;
    QString problem;
    QVERIFY(!map.parse(text, u"/etc/k/Line1.modbus"_s, problem));
    QCOMPARE(problem, message);
    // Nothing of a refused map is used.
    QVERIFY(map.variables().isEmpty());
    QVERIFY(!map.find(u"Good"_s));
}

void TestModbusMap::readsFilesInEitherEncoding()
{
    QTemporaryDir dir;
    const QString line = u"Straße.anford 1 coil 0 BOOL # Übergabe\n"_s;
    const auto write = [&](const QString &name, const QByteArray &bytes) {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write(u"utf8.modbus"_s, line.toUtf8());
    write(u"ansi.modbus"_s, cp1252::encode(line));
    for (const QString &name : {u"utf8.modbus"_s, u"ansi.modbus"_s}) {
        VariableMap map;
        QString problem;
        QVERIFY2(map.load(dir.filePath(name), problem), qPrintable(problem));
        QVERIFY2(map.find(u"straße.ANFORD"_s), qPrintable(name));
        QCOMPARE(map.file(), dir.filePath(name));
    }

    VariableMap map;
    QString problem;
    QVERIFY(!map.load(dir.filePath(u"missing.modbus"_s), problem));
    QVERIFY2(
        problem.startsWith(u"Modbus map "_s + dir.filePath(u"missing.modbus"_s) + u": cannot be read ("_s),
        qPrintable(problem));
}

void TestModbusMap::mapBesideTheConfigurationChoosesTheLink()
{
    QTemporaryDir dir;
    const QString config = dir.filePath(u"Line1.zelb"_s);
    const QString mapFile = dir.filePath(u"Line1.modbus"_s);
    QCOMPARE(plcMapFileFor(config), mapFile);
    QCOMPARE(plcMapFileFor(dir.filePath(u"Line1"_s)), mapFile);
    QCOMPARE(plcMapFileFor(dir.filePath(u"my.line.zelb"_s)), dir.filePath(u"my.line.modbus"_s));

    // No map: the link to the PLC runtime, which the dialog tells where a map would go.
    QString problem = u"stale"_s;
    std::unique_ptr<KeloLink> link = createPlcLink(config, problem);
    QVERIFY(qobject_cast<KeloOcx *>(link.get()));
    QVERIFY(problem.isEmpty());
    QCOMPARE(link->property("plcMapFile").toString(), mapFile);

    const auto writeMap = [&](const QByteArray &text) {
        QFile f(mapFile);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    writeMap("Line1.anford 1 coil 0 BOOL\npoll = 40\n");
    link = createPlcLink(config, problem);
    auto *modbus = qobject_cast<ModbusLink *>(link.get());
    QVERIFY(modbus);
    QVERIFY(problem.isEmpty());
    QCOMPARE(modbus->map().variables().size(), 1);
    QCOMPARE(modbus->pollInterval(), 40);
    QCOMPARE(modbus->map().file(), mapFile);

    // A broken map still gives the Modbus link, whose every variable is refused with its own
    // code without a word to the network, so "Create VarHandle: " shows what is wrong.
    writeMap("Line1.anford 1 coil 0 BOOL\nLine1.antwort 1 coils 1 BOOL\n");
    link = createPlcLink(config, problem);
    modbus = qobject_cast<ModbusLink *>(link.get());
    QVERIFY(modbus);
    QCOMPARE(problem, u"Modbus map "_s + mapFile +
                          u", line 2: unknown area \"coils\" (coil, discrete, holding or input)"_s);
    QCOMPARE(modbus->mapProblem(), problem);
    modbus->setPort(u"1"_s);
    qint32 handle = -1;
    QCOMPARE(modbus->createVarHandle(u"Line1.anford"_s, handle), qint32(ModbusLink::NoMap));
    QCOMPARE(handle, 0);
    qint32 notify = -1;
    QCOMPARE(modbus->connectVar(u"Line1.anford"_s, 4, 1, notify, nullptr), qint32(ModbusLink::NoMap));
    QCOMPARE(modbus->linkState(), ModbusLink::LinkState::Idle);
}

void TestModbusMap::exampleMapServesItsConfiguration()
{
    QString problem;
    std::unique_ptr<KeloLink> link =
        createPlcLink(QStringLiteral(KAVETTA_SOURCE_DIR "/examples/Line1-modbus.zelb"), problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    auto *modbus = qobject_cast<ModbusLink *>(link.get());
    QVERIFY(modbus);
    QCOMPARE(modbus->map().variables().size(), 7);
    for (const char *suffix :
         {".anford", ".SendData", ".ConnectStatus", ".RecData", ".antwort", ".anfordErr", ".anfordErrText"})
        QVERIFY2(modbus->map().find(u"Line1"_s + QLatin1String(suffix)), suffix);
}

QTEST_MAIN(TestModbusMap)
#include "TestModbusMap.moc"
