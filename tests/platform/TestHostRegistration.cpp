#include "FakeDesktopServices.h"

#include "common/GatewayState.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"
#include "platform/HostRegistration.h"
#include "platform/Options.h"

#include <QMimeDatabase>
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
    QString data = dir.filePath(u"data"_s);

    Rig()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.filePath(u"etc"_s));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.filePath(u"home"_s));
    }
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
    void registrationWritesTheMimeTypeTheDesktopEntryAndTheRecord()
    {
        Rig rig;
        HostRegistration host(rig.options, u"/opt/Gw/gw"_s, rig.data);
        QVERIFY(!host.registerFileType(u"ZELB"_s).isSet());
        QCOMPARE(readAll(rig.data + u"/applications/gw-zelb.desktop"_s),
                 u"[Desktop Entry]\nType=Application\nName=gw\nExec=\"/opt/Gw/gw\" %f\n"
                 u"MimeType=application/x-zelb;\nNoDisplay=true\nTerminal=false\n"_s);

        // The desktop's own tool (shared-mime-info) has taken the package into its database: a
        // ".zelb" file is known by that type, in any case of the name.
        qputenv("XDG_DATA_HOME", rig.data.toLocal8Bit());
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
        QVERIFY(readAll(rig.data + u"/applications/kavetta-zelb.desktop"_s)
                    .contains(u"\nExec=env \"KAVETTA_HOME=/srv/plant/Server\" \"/usr/bin/kavetta\" %f\n"_s));
        const QString app = u"Pralix-Application"_s, sec = u"Socket-Server"_s;
        QCOMPARE(rig.options.regReadValue(app, sec, u"Server"_s), QVariant(u"/usr/bin/kavetta"_s));
        QCOMPARE(rig.options.regReadValue(app, sec, u"Extension"_s), QVariant(u"ZELB"_s));
        QVERIFY(rig.list.isEmpty() && rig.desktop.messages.isEmpty());

        // Inside the quotes " ` $ \ are escaped and % doubled, then every backslash is doubled.
        QCOMPARE(HostRegistration::execLine(u"/opt/my gw/50%/a\"b$`c\\d"_s, {}),
                 u"\"/opt/my gw/50%%/a\\\\\"b\\\\$\\\\`c\\\\\\\\d\" %f"_s);
    }

    void anUnwritableDataFolderStopsTheRegistrationSilently()
    {
        Rig rig;
        QFile blocker(rig.data); // the data folder is a file
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        HostRegistration host(rig.options, u"/opt/Gw/gw"_s, rig.data);
        QVERIFY(!host.registerFileType(u"ZELB"_s).isSet());
        QVERIFY(QFileInfo(rig.data).isFile());

        // The MIME package goes in, the desktop entry cannot: the rest, the databases included, is
        // left undone.
        QVERIFY(blocker.remove() && QDir().mkpath(rig.data));
        QFile applications(rig.data + u"/applications"_s);
        QVERIFY(applications.open(QIODevice::WriteOnly));
        applications.close();
        QVERIFY(!host.registerFileType(u"ZELB"_s).isSet());
        QVERIFY(QFileInfo::exists(host.mimePackagePath(u"ZELB"_s)));
        QVERIFY(!QFileInfo::exists(rig.data + u"/mime/application"_s));
        QVERIFY(rig.desktop.messages.isEmpty() && rig.list.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHostRegistration)
#include "TestHostRegistration.moc"
