#include "FakeDesktopServices.h"

#include "common/GatewayState.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"
#include "platform/FreeSpace.h"
#include "platform/HostRegistration.h"
#include "platform/Options.h"

#include <QMimeDatabase>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{

struct FakeSource : FreeSpaceSource {
    std::optional<Reading> reading;
    std::optional<Reading> freeSpace(const QString &) const override { return reading; }
};

const QString kApp = u"Pralix-Application"_s, kSec = u"Socket-Server"_s;
const QString kLimit = u"MaxFreeSpace(MB)"_s, kGroup = u"LogDatei"_s;
const QString kKey = u"Software/Morvanta/Pralix-Application/Socket-Server/"_s;

struct Rig {
    QTemporaryDir dir;
    GatewayState state;
    FakeDesktopServices desktop;
    EventLog events{state, dir.filePath(u"ev.log"_s)};
    MsgList list{state, events, desktop};
    Options options{list};
    FakeSource source;
    FreeSpace guard{state, options, list, source, u"/opt/kavetta"_s};
    QString storeFile = dir.filePath(u"xdg/Morvanta/Kavetta.ini"_s);
    QString userFile = dir.filePath(u"home/Morvanta/Kavetta.ini"_s);

    Rig()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.filePath(u"xdg"_s));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.filePath(u"home"_s));
    }
    QVariant read(const QString &name) { return options.regReadValue(kApp, kSec, name); }
};

QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

class TestOptions : public QObject
{
    Q_OBJECT
private slots:
    void valuesKeepTheirKindAndBrokenStores()
    {
        Rig rig;
        using K = Options::Kind;
        // Name, value written, kind stored, value read (other kinds: the raw bytes).
        const QList<std::tuple<const char *, QVariant, K, QVariant>> cases = {
            {"Server", u"/opt/kavetta/kavetta"_s, K::String, u"/opt/kavetta/kavetta"_s},
            {"Temp", u"%TEMP%\\x"_s, K::ExpandString, QByteArray("%TEMP%\\x\0", 9)},
            {"Percent", u"100%"_s, K::String, u"100%"_s},
            {"Pair", u"%%"_s, K::String, u"%%"_s},
            {"Tagged", u"dword:0000000a"_s, K::String, u"dword:0000000a"_s},
            {"Count", qint16(-5), K::Number, qint32(-5)},
            {"Yes", true, K::Number, qint32(-1)},
            {"Euro", u"\u20ac \u4e2d"_s, K::String, u"\u20ac ?"_s},
            {"Real", 1.5, K::Missing, qint32(0)}}; // no kind the store takes
        for (const auto &[name, written, kind, read] : cases)
            rig.options.regWriteValue(kApp, kSec, QLatin1String(name), written);
        for (const auto &[name, written, kind, read] : cases) {
            QCOMPARE(rig.options.valueKind(kApp, kSec, QLatin1String(name)), kind);
            QCOMPARE(rig.read(QLatin1String(name)), read);
        }

        // A missing option is created empty; expandable texts read back as text.
        QCOMPARE(rig.options.getOption(kLimit, kGroup), QString());
        QCOMPARE(rig.options.valueKind(kApp + u"\\LogDatei"_s, u"Optionen"_s, kLimit), K::String);
        rig.options.setOption(u"Pfad"_s, u"%HOME%/log"_s);
        QCOMPARE(rig.options.getOption(u"Pfad"_s), u"%HOME%/log"_s);

        // A folder where the file belongs, in both scopes.
        QVERIFY(QFile::remove(rig.storeFile) && QDir().mkpath(rig.storeFile) && QDir().mkpath(rig.userFile));
        QCOMPARE(rig.options.regReadValue(kApp, kSec, u"v"_s, 42), QVariant(42));
        rig.options.setOption(u"v"_s, u"x"_s, kGroup);
        QCOMPARE(rig.list.count(), 1);
        QCOMPARE(rig.list.first()->meldetext, u"Fehler beim Schreiben der Registry : "
                                              u"Pralix-Application\\LogDatei\\OptionenIs a directory"_s);

        // Values the parser cannot make sense of: no crash, nothing read, the default limit.
        QVERIFY(QDir(rig.storeFile).removeRecursively() && QDir(rig.userFile).removeRecursively());
        const QByteArray junk = "[Software/Morvanta/Pralix-Application/Socket-Server]\n"
                                "v=@Variant(\\0\\0\\x7f)\nw=dword:zz\n";
        QFile f(rig.storeFile);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(junk) == junk.size() && f.flush());
        rig.read(u"v"_s);
        QCOMPARE(rig.read(u"w"_s), QVariant(QByteArray()));
        rig.source.reading = FreeSpaceSource::Reading{u"/"_s, 1};
        QVERIFY(!rig.guard.check(true));
    }

    void theUsersScopeStandsInForAnUnwritableMachineScope()
    {
        Rig rig;
        rig.options.regWriteValue(kApp, kSec, u"Server"_s, u"/opt/a/kavetta"_s);
        QVERIFY(QFileInfo::exists(rig.storeFile) && !QFileInfo::exists(rig.userFile));

        // Not writable: the value goes to the user's scope without a message, and is read there first.
        QVERIFY(QFile::remove(rig.storeFile) && QDir().mkpath(rig.storeFile));
        rig.options.regWriteValue(kApp, kSec, u"Server"_s, u"/home/op/kavetta"_s);
        rig.options.setOption(kLimit, u"45"_s, kGroup);
        QCOMPARE(rig.read(u"Server"_s), QVariant(u"/home/op/kavetta"_s));
        QCOMPARE(rig.options.getOption(kLimit, kGroup), u"45"_s);
        QVERIFY(QDir(rig.storeFile).removeRecursively());
        QSettings(rig.storeFile, QSettings::IniFormat).setValue(kKey + u"Only"_s, u"1"_s);
        QCOMPARE(rig.read(u"Only"_s), QVariant(u"1"_s));
        QCOMPARE(rig.read(u"Server"_s), QVariant(u"/home/op/kavetta"_s));

        // Writable again: a write there drops the user's copy, which would otherwise hide it.
        rig.options.regWriteValue(kApp, kSec, u"Server"_s, u"/opt/b/kavetta"_s);
        QCOMPARE(rig.read(u"Server"_s), QVariant(u"/opt/b/kavetta"_s));
        QCOMPARE(QSettings(rig.userFile, QSettings::IniFormat).allKeys(),
                 QStringList{u"Software/Morvanta/Pralix-Application/LogDatei/Optionen/MaxFreeSpace(MB)"_s});
        QVERIFY(rig.list.isEmpty());
    }

    void freeSpaceAndLimitDecideLogging()
    {
        Rig rig;
        rig.source.reading = FreeSpaceSource::Reading{u"/"_s, 29999999};
        QVERIFY(!rig.guard.check(false) && !rig.state.logEnabled); // first start: "30" written, applies
        QCOMPARE(rig.options.getOption(kLimit, kGroup), u"30"_s);
        rig.source.reading->freeBytes = 30000000;
        QVERIFY(rig.guard.check(true) && rig.state.logEnabled);

        rig.options.setOption(kLimit, u"500"_s, kGroup);
        rig.source.reading = FreeSpaceSource::Reading{u"/srv/"_s, 499999999};
        rig.guard.checkFreeSpace(true);
        QVERIFY(!rig.state.logEnabled);
        QCOMPARE(rig.list.count(), 1);
        QCOMPARE(rig.list.first()->meldetext, u"Free Diskspace Drive /srv/  499,999,999 bytes"_s);

        // A network folder is never asked (1 byte would switch logging off); unknown space keeps it on.
        rig.source.reading->freeBytes = 1;
        QVERIFY(
            FreeSpace(rig.state, rig.options, rig.list, rig.source, u"//host/share/kavetta"_s).check(true));
        rig.source.reading.reset();
        QVERIFY(rig.guard.check(true));
        QCOMPARE(rig.list.count(), 1);

        // The limit is the leading whole number of the text; none, or too big, means the default.
        rig.source.reading = FreeSpaceSource::Reading{u"/"_s, 1};
        const QList<QPair<QString, qint32>> limits = {
            {u"viel"_s, 0}, {u"  45MB"_s, 45}, {u"2.5"_s, 2}, {u"99999999999"_s, 0}, {u"-7"_s, -7}};
        for (const auto &[stored, limit] : limits) {
            rig.options.setOption(kLimit, stored, kGroup);
            rig.guard.check(false);
            QCOMPARE(rig.state.logEnabled, limit < 0);
            QCOMPARE(rig.options.getOption(kLimit, kGroup), limit == 0 ? u"30"_s : stored);
            QCOMPARE(FreeSpace::leadingNumber(stored), limit);
        }

        rig.list.clear(); // the real file system
        StorageFreeSpace real;
        const auto r = real.freeSpace(rig.dir.path());
        QVERIFY(r && qAbs(r->freeBytes - QStorageInfo(rig.dir.path()).bytesAvailable()) < (64 << 20));
        QVERIFY(!real.freeSpace(rig.dir.filePath(u"no/such/folder"_s)).has_value());
        rig.options.setOption(kLimit, u"2000000000"_s, kGroup); // 2 PB: more than any disk here
        QVERIFY(!FreeSpace(rig.state, rig.options, rig.list, real, rig.dir.path()).check(true));
        QVERIFY(rig.list.first()->meldetext.startsWith(u"Free Diskspace Drive "_s + r->root + u"  "_s));
    }

    void registrationWritesTheMimeTypeTheDesktopEntryAndTheRecord()
    {
        Rig rig;
        const QString data = rig.dir.filePath(u"data"_s);
        HostRegistration host(rig.options, u"/opt/Gw/gw"_s, data);
        QVERIFY(!host.registerFileType(u"ZELB"_s).isSet());
        QCOMPARE(readAll(data + u"/applications/gw-zelb.desktop"_s),
                 u"[Desktop Entry]\nType=Application\nName=gw\nExec=\"/opt/Gw/gw\" %f\n"
                 u"MimeType=application/x-zelb;\nNoDisplay=true\nTerminal=false\n"_s);

        // The desktop's own tool (shared-mime-info) has taken the package into its database: a
        // ".zelb" file is known by that type, in any case of the name.
        qputenv("XDG_DATA_HOME", data.toLocal8Bit());
        const QMimeType type =
            QMimeDatabase().mimeTypeForFile(u"/plant/Line1.ZELB"_s, QMimeDatabase::MatchExtension);
        QCOMPARE(type.name(), u"application/x-zelb"_s);
        QCOMPARE(type.comment(), u"ZELB_auto_file"_s);

        // Without a folder given it goes to the user's data folder, and starts the program in the
        // program folder it was registered from.
        qputenv("KAVETTA_HOME", "/srv/plant/Server");
        HostRegistration installed(rig.options, u"/usr/bin/kavetta"_s);
        QVERIFY(!installed.registerProgramPath().isSet() && !installed.registerFileType(u"ZELB"_s).isSet());
        qunsetenv("KAVETTA_HOME");
        QVERIFY(readAll(data + u"/applications/kavetta-zelb.desktop"_s)
                    .contains(u"\nExec=env \"KAVETTA_HOME=/srv/plant/Server\" \"/usr/bin/kavetta\" %f\n"_s));
        QCOMPARE(rig.read(u"Server"_s), QVariant(u"/usr/bin/kavetta"_s));
        QCOMPARE(rig.read(u"Extension"_s), QVariant(u"ZELB"_s));
        // Inside the quotes " ` $ \ are escaped and % doubled, then every backslash is doubled.
        QCOMPARE(HostRegistration::execLine(u"/opt/my gw/50%/a\"b$`c\\d"_s, {}),
                 u"\"/opt/my gw/50%%/a\\\\\"b\\\\$\\\\`c\\\\\\\\d\" %f"_s);

        // The MIME package goes in, the desktop entry cannot (a file where its folder belongs):
        // the rest, the databases included, is left undone, without a word.
        const QString blocked = rig.dir.filePath(u"blocked"_s);
        QVERIFY(QDir().mkpath(blocked) && QFile(blocked + u"/applications"_s).open(QIODevice::WriteOnly));
        HostRegistration stopped(rig.options, u"/opt/Gw/gw"_s, blocked);
        QVERIFY(!stopped.registerFileType(u"ZELB"_s).isSet());
        QVERIFY(QFileInfo::exists(stopped.mimePackagePath(u"ZELB"_s)));
        QVERIFY(!QFileInfo::exists(blocked + u"/mime/application"_s));
        QVERIFY(rig.list.isEmpty() && rig.desktop.messages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestOptions)
#include "TestOptions.moc"
