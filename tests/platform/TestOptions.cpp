#include "FakeDesktopServices.h"
#include "TestClock.h"

#include "common/GatewayState.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"
#include "platform/FreeSpace.h"
#include "platform/Options.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

struct FakeSource : FreeSpaceSource {
    std::optional<Reading> reading;
    mutable int asked = 0;
    std::optional<Reading> freeSpace(const QString &) const override
    {
        ++asked;
        return reading;
    }
};

const QString kApp = QStringLiteral("Pralix-Application");
const QString kSec = QStringLiteral("Socket-Server");
const QString kLimit = QStringLiteral("MaxFreeSpace(MB)");
const QString kGroup = QStringLiteral("LogDatei");

struct Rig {
    QTemporaryDir dir;
    TestClock clock;
    GatewayState state;
    FakeDesktopServices desktop;
    EventLog events{state, dir.filePath(QStringLiteral("ev.log"))};
    MsgList list{state, events, desktop};
    Options options{list};
    FakeSource source;
    FreeSpace guard{state, options, list, source, QStringLiteral("/opt/kavetta")};

    Rig()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.filePath(QStringLiteral("xdg")));
    }
    QString storeFile() const { return dir.filePath(QStringLiteral("xdg/Morvanta/Kavetta.ini")); }
    QVariant read(const char *name) { return options.regReadValue(kApp, kSec, QLatin1String(name)); }
};

} // namespace

class TestOptions : public QObject
{
    Q_OBJECT
private slots:
    void valuesKeepTheirKind()
    {
        Rig rig;
        const QList<QPair<const char *, QVariant>> values = {
            {"Server", QStringLiteral("/opt/kavetta/kavetta")},
            {"Temp", QStringLiteral("%TEMP%\\x")},
            {"Percent", QStringLiteral("100%")},
            {"Pair", QStringLiteral("%%")},
            {"Tagged", QStringLiteral("dword:0000000a")},
            {"Count", qint16(-5)},
            {"Yes", true},
            {"Euro", QStringLiteral("\u20ac \u4e2d")},
            {"Real", 1.5} /* no kind the store takes */};
        for (const auto &[name, value] : values)
            rig.options.regWriteValue(kApp, kSec, QLatin1String(name), value);

        QCOMPARE(rig.options.valueKind(kApp, kSec, QStringLiteral("Temp")), Options::Kind::ExpandString);
        QCOMPARE(rig.options.valueKind(kApp, kSec, QStringLiteral("Percent")), Options::Kind::String);
        QCOMPARE(rig.options.valueKind(kApp, kSec, QStringLiteral("Pair")), Options::Kind::String);
        QCOMPARE(rig.options.valueKind(kApp, kSec, QStringLiteral("Real")), Options::Kind::Missing);
        QCOMPARE(rig.read("Server"), QVariant(QStringLiteral("/opt/kavetta/kavetta")));
        QCOMPARE(rig.read("Temp"), QVariant(QByteArray("%TEMP%\\x\0", 9))); // other kinds: raw bytes
        QCOMPARE(rig.read("Tagged"), QVariant(QStringLiteral("dword:0000000a")));
        QCOMPARE(rig.read("Count"), QVariant(qint32(-5)));
        QCOMPARE(rig.read("Yes"), QVariant(qint32(-1)));
        QCOMPARE(rig.read("Euro"), QVariant(QStringLiteral("\u20ac ?")));
        QCOMPARE(rig.read("Missing"), QVariant(qint32(0)));
        QSettings raw(rig.storeFile(), QSettings::IniFormat); // the key path is the group, readable
        QCOMPARE(
            raw.value(QStringLiteral("Software/Morvanta/Pralix-Application/Socket-Server/Server")).toString(),
            QStringLiteral("/opt/kavetta/kavetta"));

        // Options: a missing one is created empty; expandable texts read back as text.
        QCOMPARE(rig.options.getOption(kLimit, kGroup), QString());
        QCOMPARE(
            rig.options.valueKind(kApp + QStringLiteral("\\LogDatei"), QStringLiteral("Optionen"), kLimit),
            Options::Kind::String);
        rig.options.setOption(QStringLiteral("Pfad"), QStringLiteral("%HOME%/log"));
        QCOMPARE(rig.options.getOption(QStringLiteral("Pfad")), QStringLiteral("%HOME%/log"));
        QVERIFY(rig.list.isEmpty());
    }

    void brokenStores()
    {
        Rig rig;
        QVERIFY(QDir().mkpath(rig.storeFile())); // a folder where the file belongs
        QCOMPARE(rig.options.regReadValue(kApp, kSec, QStringLiteral("v"), 42), QVariant(42));
        rig.options.setOption(QStringLiteral("v"), QStringLiteral("x"), kGroup);
        QCOMPARE(rig.list.count(), 1);
        QCOMPARE(rig.list.first()->meldetext,
                 QStringLiteral("Fehler beim Schreiben der Registry : "
                                "Pralix-Application\\LogDatei\\OptionenIs a directory"));

        Rig garbage;
        QVERIFY(QDir().mkpath(QFileInfo(garbage.storeFile()).path()));
        QFile f(garbage.storeFile());
        QVERIFY(f.open(QIODevice::WriteOnly));
        QByteArray junk =
            "[Software/Morvanta/Pralix-Application/Socket-Server]\nv=@Variant(\\0\\0\\x7f)\nw=dword:zz\n";
        for (int i = 0; i < 4096; ++i)
            junk += char((i * 7919) & 0xff);
        f.write(junk);
        f.close();
        garbage.read("v"); // whatever the parser makes of it: no crash
        QCOMPARE(garbage.read("w"), QVariant(QByteArray()));
        garbage.source.reading = FreeSpaceSource::Reading{QStringLiteral("/"), 1};
        QVERIFY(!garbage.guard.check(true));
    }

    void freeSpaceDecidesLogging()
    {
        Rig rig;
        rig.source.reading = FreeSpaceSource::Reading{QStringLiteral("/"), 29999999};
        QVERIFY(!rig.guard.check(false)); // first start: "30" is written and applies
        QVERIFY(!rig.state.logEnabled);
        QCOMPARE(rig.options.getOption(kLimit, kGroup), QStringLiteral("30"));
        QVERIFY(rig.list.isEmpty()); // no report asked for
        rig.source.reading->freeBytes = 30000000;
        QVERIFY(rig.guard.check(true));
        QVERIFY(rig.state.logEnabled);

        rig.options.setOption(kLimit, QStringLiteral("500"), kGroup);
        rig.source.reading = FreeSpaceSource::Reading{QStringLiteral("/srv/"), 499999999};
        rig.guard.checkFreeSpace(true);
        QVERIFY(!rig.state.logEnabled);
        QCOMPARE(rig.list.count(), 1);
        QCOMPARE(rig.list.first()->meldetext,
                 QStringLiteral("Free Diskspace Drive /srv/  499,999,999 bytes"));
        rig.source.reading->freeBytes = 500000000;
        QVERIFY(rig.guard.check(true));

        // Unknown space, or a network folder: logging stays on and nothing is asked.
        rig.source.reading.reset();
        QVERIFY(rig.guard.check(true));
        const int asked = rig.source.asked;
        FreeSpace network(rig.state, rig.options, rig.list, rig.source,
                          QStringLiteral("//host/share/kavetta"));
        QVERIFY(network.check(true));
        QCOMPARE(rig.source.asked, asked);
        QCOMPARE(rig.list.count(), 1);
    }

    void limitTexts_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<qint32>("limit");
        QTest::newRow("text") << QStringLiteral("viel") << 0;
        QTest::newRow("blanks and rest") << QStringLiteral("  45MB") << 45;
        QTest::newRow("half to even") << QStringLiteral("2.5") << 2;
        QTest::newRow("too big") << QStringLiteral("99999999999") << 0;
        QTest::newRow("negative") << QStringLiteral("-7") << -7;
    }
    void limitTexts()
    {
        QFETCH(QString, stored);
        QFETCH(qint32, limit);
        Rig rig;
        rig.options.setOption(kLimit, stored, kGroup);
        rig.source.reading = FreeSpaceSource::Reading{QStringLiteral("/"), 1};
        rig.guard.check(false);
        QCOMPARE(rig.options.getOption(kLimit, kGroup), limit == 0 ? QStringLiteral("30") : stored);
        QCOMPARE(rig.state.logEnabled, limit < 0);
        QCOMPARE(FreeSpace::leadingNumber(stored), limit);
    }

    void realFileSystem()
    {
        Rig rig;
        StorageFreeSpace real;
        const auto reading = real.freeSpace(rig.dir.path());
        QVERIFY(reading.has_value());
        QVERIFY(qAbs(reading->freeBytes - QStorageInfo(rig.dir.path()).bytesAvailable()) < 64 * 1024 * 1024);
        QVERIFY(!real.freeSpace(rig.dir.filePath(QStringLiteral("no/such/folder"))).has_value());

        FreeSpace guard(rig.state, rig.options, rig.list, real, rig.dir.path());
        rig.options.setOption(kLimit, QStringLiteral("2000000000"), kGroup); // 2 PB: more than any disk here
        QVERIFY(!guard.check(true));
        QVERIFY(rig.list.first()->meldetext.startsWith(QStringLiteral("Free Diskspace Drive ") +
                                                       reading->root + QStringLiteral("  ")));
        rig.options.setOption(kLimit, QStringLiteral("1"), kGroup);
        QCOMPARE(guard.check(true), reading->freeBytes >= 1000000);
    }
};

QTEST_GUILESS_MAIN(TestOptions)
#include "TestOptions.moc"
