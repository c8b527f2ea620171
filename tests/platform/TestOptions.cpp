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

} // namespace

class TestOptions : public QObject
{
    Q_OBJECT
private slots:
    void valuesKeepTheirKindAndTheStoreMayFail()
    {
        Rig rig;
        // Name, value written, kind stored, value read (other kinds: the raw bytes).
        const QList<std::tuple<const char *, QVariant, Options::Kind, QVariant>> cases = {
            {"Temp", u"%TEMP%\\x"_s, Options::Kind::ExpandString, QByteArray("%TEMP%\\x\0", 9)},
            {"Tagged", u"dword:0000000a"_s, Options::Kind::String, u"dword:0000000a"_s},
            {"Euro", u"\u20ac \u4e2d"_s, Options::Kind::String, u"\u20ac ?"_s}};
        for (const auto &[name, written, kind, read] : cases) {
            rig.options.regWriteValue(kApp, kSec, QLatin1String(name), written);
            QCOMPARE(rig.options.valueKind(kApp, kSec, QLatin1String(name)), kind);
            QCOMPARE(rig.read(QLatin1String(name)), read);
        }

        // The machine scope not writable: the value goes to the user's scope without a message,
        // and is read there first.
        QVERIFY(QFile::remove(rig.storeFile) && QDir().mkpath(rig.storeFile));
        rig.options.regWriteValue(kApp, kSec, u"Server"_s, u"/home/op/kavetta"_s);
        QCOMPARE(rig.read(u"Server"_s), QVariant(u"/home/op/kavetta"_s));
        // Writable again: a write there drops the user's copy, which would otherwise hide it.
        QVERIFY(QDir(rig.storeFile).removeRecursively());
        rig.options.regWriteValue(kApp, kSec, u"Server"_s, u"/opt/b/kavetta"_s);
        QCOMPARE(rig.read(u"Server"_s), QVariant(u"/opt/b/kavetta"_s));
        QVERIFY(QSettings(rig.userFile, QSettings::IniFormat).allKeys().isEmpty() && rig.list.isEmpty());

        // A folder where the file belongs, in both scopes.
        QVERIFY(QFile::remove(rig.storeFile) && QFile::remove(rig.userFile));
        QVERIFY(QDir().mkpath(rig.storeFile) && QDir().mkpath(rig.userFile));
        rig.options.setOption(u"v"_s, u"x"_s, kGroup);
        QCOMPARE(rig.list.first()->meldetext, u"Fehler beim Schreiben der Registry : "
                                              u"Pralix-Application\\LogDatei\\OptionenIs a directory"_s);
    }

    void freeSpaceAndLimitDecideLogging()
    {
        Rig rig;
        rig.source.reading = FreeSpaceSource::Reading{u"/"_s, 29999999};
        QVERIFY(!rig.guard.check(false) && !rig.state.logEnabled); // first start: "30" written, applies
        rig.source.reading->freeBytes = 30000000;
        QVERIFY(rig.guard.check(true) && rig.state.logEnabled);

        rig.options.setOption(kLimit, u"500"_s, kGroup);
        rig.source.reading = FreeSpaceSource::Reading{u"/srv/"_s, 499999999};
        rig.guard.checkFreeSpace(true);
        QVERIFY(!rig.state.logEnabled && rig.list.count() == 1);
        QCOMPARE(rig.list.first()->meldetext, u"Free Diskspace Drive /srv/  499,999,999 bytes"_s);

        // The limit is the leading whole number of the text; none, or too big, means the default.
        rig.source.reading = FreeSpaceSource::Reading{u"/"_s, 1};
        for (const auto &[stored, limit] :
             {std::pair(u"viel"_s, 0), {u"  45MB"_s, 45}, {u"99999999999"_s, 0}}) {
            rig.options.setOption(kLimit, stored, kGroup);
            QVERIFY(!rig.guard.check(false));
            QCOMPARE(rig.options.getOption(kLimit, kGroup), limit == 0 ? u"30"_s : stored);
            QCOMPARE(FreeSpace::leadingNumber(stored), limit);
        }

        // The real file system.
        const auto r = StorageFreeSpace().freeSpace(rig.dir.path());
        QVERIFY(r && qAbs(r->freeBytes - QStorageInfo(rig.dir.path()).bytesAvailable()) < (64 << 20));
    }

    // Registered from its program folder: opening a ".zelb" file starts the program there.
    void registrationWritesTheMimeTypeTheDesktopEntryAndTheRecord()
    {
        Rig rig;
        const QString data = rig.dir.filePath(u"data"_s);
        qputenv("KAVETTA_HOME", "/srv/plant/Server");
        HostRegistration host(rig.options, u"/usr/bin/kavetta"_s, data);
        QVERIFY(!host.registerProgramPath().isSet() && !host.registerFileType(u"ZELB"_s).isSet());
        QFile entry(data + u"/applications/kavetta-zelb.desktop"_s);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QCOMPARE(entry.readAll(), "[Desktop Entry]\nType=Application\nName=kavetta\n"
                                  "Exec=env \"KAVETTA_HOME=/srv/plant/Server\" \"/usr/bin/kavetta\" %f\n"
                                  "MimeType=application/x-zelb;\nNoDisplay=true\nTerminal=false\n");
        QCOMPARE(rig.read(u"Server"_s), QVariant(u"/usr/bin/kavetta"_s));

        // The desktop's own tool (shared-mime-info) has taken the package into its database: a
        // ".zelb" file is known by that type, in any case of the name.
        qputenv("XDG_DATA_HOME", data.toLocal8Bit());
        QCOMPARE(
            QMimeDatabase().mimeTypeForFile(u"/plant/Line1.ZELB"_s, QMimeDatabase::MatchExtension).name(),
            u"application/x-zelb"_s);
    }
};

QTEST_GUILESS_MAIN(TestOptions)
#include "TestOptions.moc"
