// The Modbus variable map: what a hand-written map means, the one message of a map that does
// not parse, and how an instance comes to use the Modbus link.
#include "common/Cp1252.h"
#include "plclink/ModbusLink.h"
#include "plclink/PlcLinkFactory.h"
#include "plclink/VariableMap.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace modbusmap;
using namespace Qt::StringLiterals;

namespace
{

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
}

} // namespace

class TestModbusMap : public QObject
{
    Q_OBJECT

private slots:
    void readsAHandWrittenMap()
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
                             u"Line1.Level        1   input    65534  DINT   DCBA\n"
                             u"\n"_s;
        VariableMap map;
        QString problem;
        QVERIFY2(map.parse(text, u"plant.modbus"_s, problem), qPrintable(problem));
        QCOMPARE(map.variables().size(), 7);
        const auto settings = [&] {
            return QList<int>{map.pollMs(), map.maxReadRegisters(), map.maxWriteRegisters()};
        };
        QCOMPARE(settings(), (QList<int>{50, 124, 123}));

        // Names compare without regard to letter case.
        const Variable *antwort = map.find(u"LINE1.ANTWORT"_s);
        QVERIFY(antwort && antwort->name == u"Line1.antwort"_s && antwort->line == 5 &&
                antwort->address == 1);
        QVERIFY(!map.find(u"Line1"_s));
        const Variable *err = map.find(u"Line1.anfordErr"_s), *textVar = map.find(u"Line1.Text"_s);
        QVERIFY(err->unit == 0 && err->swapWords && !err->swapBytes);
        QVERIFY(map.find(u"Line1.Level"_s)->swapWords && map.find(u"Line1.Level"_s)->swapBytes);
        QVERIFY(textVar->count() == 128 && textVar->swapBytes);
        QCOMPARE(map.find(u"Line1.Odd"_s)->count(), 2);

        // Defaults of a map without settings.
        QVERIFY(map.parse(u"A 1 coil 0 BOOL"_s, u"m"_s, problem));
        QCOMPARE(settings(), (QList<int>{DefaultPollMs, 125, 123}));
    }

    void namesFileLineAndProblem_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        const QString prefix = u"Modbus map /etc/k/Line1.modbus, line "_s;
        // A good first line, the problem in the second.
        for (const auto &[badLine, problem] : std::initializer_list<std::pair<const char *, const char *>>{
                 {"Line1.anford 1 coil 0", "expected NAME UNIT AREA ADDRESS TYPE [ORDER], found 4 fields"},
                 {"A 1 holding 0 DINT ABCD extra", "unexpected \"extra\" after the order"},
                 {"A 248 coil 0 BOOL", "unit \"248\" is not 0..247 or 255"},
                 {"A 1 holdng 0 INT", "unknown area \"holdng\" (coil, discrete, holding or input)"},
                 {"A 1 coil 65536 BOOL", "address \"65536\" is not 0..65535"},
                 {"A 1 holding 0 REAL", "unknown type \"REAL\" (BOOL, INT, DINT or STRING(n))"},
                 {"A 1 holding 0 STRING(2001)", "STRING(2001) is not 1..2000 characters long"},
                 {"A 1 holding 0 STRING", "STRING needs its length in characters, for example STRING(80)"},
                 {"A 1 coil 0 INT", "INT needs a register area (holding or input), not coil"},
                 {"A 1 holding 0 INT BA", "INT takes no order (only DINT and STRING do); found \"BA\""},
                 {"A 1 holding 0 DINT ACBD", "order \"ACBD\" does not fit DINT (ABCD, CDAB, BADC or DCBA)"},
                 {"A 1 holding 0 STRING(4) CDAB", "order \"CDAB\" does not fit STRING (AB or BA)"},
                 {"A 1 holding 65000 STRING(2000)",
                  "STRING(2000) at address 65000 takes 1000 registers and ends beyond address 65535"},
                 {"good 1 coil 3 BOOL", "good is already defined in line 1"},
                 {"Later 1 coil 9 BOOL", "Later overlaps Good (line 1) in coils 9..9 of unit 1"},
                 {"polling = 20", "unknown setting \"polling\" (poll or max_registers)"},
                 {"poll = 2", "poll = 2 is not a period of 5..10000 milliseconds"},
                 {"max_registers = 126", "max_registers = 126 is not a count of 1..125"},
             })
            QTest::newRow(badLine) << u"Good 1 coil 9 BOOL\n"_s + QString::fromUtf8(badLine)
                                   << prefix + u"2: "_s + QString::fromUtf8(problem);
        // An item that overlaps one further down the file is reported at the later line, which
        // names the earlier; items of other units or tables do not collide.
        QTest::newRow("overlap reported at the later line")
            << u"Long 1 holding 100 STRING(20)\nOther 2 holding 105 INT\nIn 1 input 105 INT\nShort 1 holding 109 DINT\n"_s
            << prefix + u"4: Short overlaps Long (line 1) in holding registers 109..109 of unit 1"_s;
        QTest::newRow("first problem and how many more")
            << u"A 1 coil 0 BOOL\nB 1 coil 0 BOOL\nC 1 coil\nD 1 coil 1 INT\n"_s
            << prefix + u"2: B overlaps A (line 1) in coils 0..0 of unit 1 (and 2 more problems)"_s;
    }

    void namesFileLineAndProblem()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        VariableMap map;
        QString problem;
        QVERIFY(!map.parse(text, u"/etc/k/Line1.modbus"_s, problem));
        QCOMPARE(problem, message);
        // Nothing of a refused map is used.
        QVERIFY(map.variables().isEmpty() && !map.find(u"Good"_s));
    }

    void readsFilesInEitherEncoding()
    {
        QTemporaryDir dir;
        const QString line = u"Straße.anford 1 coil 0 BOOL # Übergabe\n"_s,
                      file = dir.filePath(u"m.modbus"_s);
        VariableMap map;
        QString problem;
        for (const QByteArray &bytes : {line.toUtf8(), cp1252::encode(line)}) {
            writeFile(file, bytes);
            QVERIFY2(map.load(file, problem) && map.find(u"straße.ANFORD"_s), qPrintable(problem));
        }
        QVERIFY(!map.load(dir.filePath(u"missing.modbus"_s), problem));
        QVERIFY2(problem.startsWith(u"Modbus map "_s + dir.filePath(u"missing.modbus"_s) +
                                    u": cannot be read ("_s),
                 qPrintable(problem));
    }

    void mapBesideTheConfigurationChoosesTheLink()
    {
        QTemporaryDir dir;
        const QString config = dir.filePath(u"Line1.zelb"_s), mapFile = dir.filePath(u"Line1.modbus"_s);
        QCOMPARE(plcMapFileFor(config), mapFile);
        QCOMPARE(plcMapFileFor(dir.filePath(u"my.line.zelb"_s)), dir.filePath(u"my.line.modbus"_s));

        // A map gives the Modbus link with the map's settings (a broken one: see the gateway's test).
        QString problem = u"stale"_s;
        writeFile(mapFile, "Line1.anford 1 coil 0 BOOL\npoll = 40\n");
        std::unique_ptr<PlcLink> link = createPlcLink(config, problem);
        auto *modbus = qobject_cast<ModbusLink *>(link.get());
        QVERIFY(modbus && problem.isEmpty() && modbus->map().file() == mapFile);
        QCOMPARE(modbus->pollInterval(), 40);

        // The example configuration finds the example map beside it.
        link = createPlcLink(QStringLiteral(KAVETTA_SOURCE_DIR "/examples/Line1-modbus.zelb"), problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        modbus = qobject_cast<ModbusLink *>(link.get());
        QVERIFY(modbus && modbus->map().find(u"Line1.anfordErrText"_s));
    }
};

QTEST_MAIN(TestModbusMap)
#include "TestModbusMap.moc"
