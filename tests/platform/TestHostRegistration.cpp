#include "FakeDesktopServices.h"

#include "common/GatewayState.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"
#include "platform/HostRegistration.h"
#include "platform/Options.h"
#include "startup/StartUp.h"

#include <QDomDocument>
#include <QMimeDatabase>
#include <QStandardPaths>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{

struct Rig {
    QTemporaryDir dir;
    GatewayState state;
    FakeDesktopServices desktop;
    EventLog events{state, dir.filePath(u"ev.log"_s)};
    MsgList list{state, events, desktop};
    Options options{list};

    Rig()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.filePath(u"etc"_s));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.filePath(u"home"_s));
    }
    QString data() const { return dir.filePath(u"data"_s); }
};

QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

class TestHostRegistration : public QObject
{
    Q_OBJECT

private slots:
    void registrationWritesTheMimeTypeAndTheDesktopEntry()
    {
        Rig rig;
        HostRegistration host(rig.options, u"/opt/Gw/gw"_s, rig.data());
        QVERIFY(!host.registerFileType(u"ZELB"_s).isSet());

        QCOMPARE(host.mimePackagePath(u"ZELB"_s), rig.data() + u"/mime/packages/gw-zelb.xml"_s);
        QDomDocument package;
        QVERIFY(package.setContent(readAll(host.mimePackagePath(u"ZELB"_s)), true));
        const QDomElement type = package.documentElement().firstChildElement(u"mime-type"_s);
        QCOMPARE(package.documentElement().namespaceURI(),
                 u"http://www.freedesktop.org/standards/shared-mime-info"_s);
        QCOMPARE(type.attribute(u"type"_s), u"application/x-zelb"_s);
        QCOMPARE(type.firstChildElement(u"glob"_s).attribute(u"pattern"_s), u"*.zelb"_s);
        QCOMPARE(type.firstChildElement(u"comment"_s).text(), u"ZELB_auto_file"_s);

        QCOMPARE(readAll(host.desktopEntryPath(u"ZELB"_s)),
                 u"[Desktop Entry]\nType=Application\nName=gw\nExec=\"/opt/Gw/gw\" %f\n"
                 u"MimeType=application/x-zelb;\nNoDisplay=true\nTerminal=false\n"_s);
        QCOMPARE(host.desktopEntryPath(u"ZELB"_s), rig.data() + u"/applications/gw-zelb.desktop"_s);

        // The desktop's own tool, where installed, has taken the package into its database, and
        // the desktop now knows a ".zelb" file by that type, in any case of the name.
        if (!QStandardPaths::findExecutable(u"update-mime-database"_s).isEmpty()) {
            QVERIFY(QFileInfo::exists(rig.data() + u"/mime/application/x-zelb.xml"_s));
            qputenv("XDG_DATA_HOME", rig.data().toLocal8Bit());
            QMimeDatabase db;
            QCOMPARE(db.mimeTypeForFile(u"/plant/Line1.ZELB"_s, QMimeDatabase::MatchExtension).name(),
                     u"application/x-zelb"_s);
        }
        QVERIFY(rig.list.isEmpty());
    }

    void execLineQuotesTheProgramAndKeepsItsFolder()
    {
        // Inside the quotes " ` $ \ are escaped, a literal % is doubled, then the value escapes
        // double every backslash.
        QCOMPARE(HostRegistration::execLine(u"/opt/my gw/50%/a\"b$`c\\d"_s, {}),
                 u"\"/opt/my gw/50%%/a\\\\\"b\\\\$\\\\`c\\\\\\\\d\" %f"_s);
        QCOMPARE(HostRegistration::execLine(u"/usr/bin/kavetta"_s, u"/srv/plant/Server"_s),
                 u"env \"KAVETTA_HOME=/srv/plant/Server\" \"/usr/bin/kavetta\" %f"_s);

        // The start with "-REGSERVER" (any case, either prefix) goes to the user's data folder and
        // starts the program in the same program folder.
        Rig rig;
        qputenv("XDG_DATA_HOME", rig.data().toLocal8Bit());
        qputenv("KAVETTA_HOME", "/srv/plant/Server");
        HostRegistration host(rig.options, u"/usr/bin/kavetta"_s);
        StartUp start(rig.state, host, rig.desktop);
        bool loaded = false;
        QVERIFY(!start.startUp(u"/regserver"_s, [&loaded] {
            loaded = true;
            return PendingError{};
        }));
        qunsetenv("KAVETTA_HOME");
        QVERIFY(!loaded && rig.desktop.messages.isEmpty());
        QVERIFY(readAll(rig.data() + u"/applications/kavetta-zelb.desktop"_s)
                    .contains(u"\nExec=env \"KAVETTA_HOME=/srv/plant/Server\" \"/usr/bin/kavetta\" %f\n"_s));
        // The program's record is written on this start too.
        const QString app = u"Pralix-Application"_s, sec = u"Socket-Server"_s;
        QCOMPARE(rig.options.regReadValue(app, sec, u"Server"_s), QVariant(u"/usr/bin/kavetta"_s));
        QCOMPARE(rig.options.regReadValue(app, sec, u"Extension"_s), QVariant(u"ZELB"_s));
        QVERIFY(rig.list.isEmpty());
    }

    void anUnwritableDataFolderStopsTheRegistrationSilently()
    {
        Rig rig;
        // The data folder is a file: nothing can be written.
        QFile blocker(rig.data());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        HostRegistration host(rig.options, u"/opt/Gw/gw"_s, rig.data());
        QVERIFY(!host.registerFileType(u"ZELB"_s).isSet());
        QVERIFY(QFileInfo(rig.data()).isFile());

        // The MIME package goes in, the desktop entry cannot: the rest is left undone, the
        // databases included.
        QVERIFY(blocker.remove());
        QVERIFY(QDir().mkpath(rig.data()));
        QFile applications(rig.data() + u"/applications"_s);
        QVERIFY(applications.open(QIODevice::WriteOnly));
        applications.close();
        QVERIFY(!host.registerFileType(u"ZELB"_s).isSet());
        QVERIFY(QFileInfo::exists(host.mimePackagePath(u"ZELB"_s)));
        QVERIFY(!QFileInfo::exists(rig.data() + u"/mime/application"_s));
        QVERIFY(rig.desktop.messages.isEmpty() && rig.list.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHostRegistration)
#include "TestHostRegistration.moc"
