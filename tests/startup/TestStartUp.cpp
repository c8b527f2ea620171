#include "FakeDesktopServices.h"
#include "common/GatewayState.h"
#include "common/Services.h"
#include "startup/StartUp.h"

#include <QTest>

namespace {

class RecordingHost : public HostIntegration
{
public:
    QStringList calls;
    PendingError programPathError;
    PendingError registerProgramPath() override
    {
        calls << QStringLiteral("registerProgramPath");
        return programPathError;
    }
    PendingError registerFileType(const QString &extensionName) override
    {
        calls << QStringLiteral("registerFileType:") + extensionName;
        return {};
    }
};

} // namespace

class TestStartUp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("KAVETTA_HOME", "/opt/plant/Server"); }

    void splitsAtBlanksAndTabsOnly()
    {
        QCOMPARE(splitCommandLine(QString()), QStringList{QString()});
        QCOMPARE(splitCommandLine(QStringLiteral("  \t ")), QStringList{QString()});
        QCOMPARE(splitCommandLine(QStringLiteral(" a\tb  c ")),
                 (QStringList{QString(), QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
        // Quotes mean nothing to the splitter.
        QCOMPARE(splitCommandLine(QStringLiteral("\"/my dir/x.zelb\"")),
                 (QStringList{QString(), QStringLiteral("\"/my"), QStringLiteral("dir/x.zelb\"")}));
        // The eleventh argument and everything after it are dropped.
        const QStringList many = splitCommandLine(QStringLiteral("1 2 3 4 5 6 7 8 9 10 11 12"));
        QCOMPARE(many.size(), 11);
        QCOMPARE(many.last(), QStringLiteral("10"));
        QCOMPARE(splitCommandLine(QStringLiteral("a b c"), 2).size(), 3);
        QCOMPARE(splitCommandLine(QStringLiteral("a b"), 0), QStringList{QString()});
    }

    void choosesTheConfigurationFile_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("configFile");
        const QString def = QStringLiteral("/opt/plant/Server/Kavetta.zelb");
        QTest::newRow("none") << QString() << def;
        QTest::newRow("plain") << "/cfg/line1.zelb" << "/cfg/line1.zelb";
        QTest::newRow("quoted") << "\"/cfg/line1.zelb\"" << "/cfg/line1.zelb";
        QTest::newRow("quoted with blank") << "\"/my cfg/line1.zelb\"" << def;
        QTest::newRow("extension inside") << "a.zelb.bak" << "a.zelb.bak";
        QTest::newRow("odd case") << "/cfg/L.ZeLb" << "/cfg/L.ZeLb";
        QTest::newRow("extension only") << ".zelb" << def;
        QTest::newRow("relative") << "line2.zelb" << "line2.zelb";
        QTest::newRow("second argument ignored") << "-x /cfg/line1.zelb" << def;
        QTest::newRow("text after quote cut") << "\"/cfg/a.zelb\"rest" << "/cfg/a.zelb";
    }

    void choosesTheConfigurationFile()
    {
        QFETCH(QString, args);
        QFETCH(QString, configFile);
        GatewayState state;
        RecordingHost host;
        FakeDesktopServices desktop;
        StartUp startUp(state, host, desktop);
        int loads = 0;
        QVERIFY(startUp.startUp(args, [&] {
            ++loads;
            return PendingError{};
        }));
        QCOMPARE(state.configFile, configFile);
        QCOMPARE(loads, 1);
        QCOMPARE(host.calls, QStringList{QStringLiteral("registerProgramPath")});
        QVERIFY(desktop.messages.isEmpty());
    }

    void registersTheFileTypeInsteadOfLoading()
    {
        for (const QString &arg : {QStringLiteral("/regserver"), QStringLiteral("-REGSERVER"), QStringLiteral("-RegServer")}) {
            GatewayState state;
            RecordingHost host;
            FakeDesktopServices desktop;
            StartUp startUp(state, host, desktop);
            bool loaded = false;
            QVERIFY(!startUp.startUp(arg, [&] {
                loaded = true;
                return PendingError{};
            }));
            QVERIFY(!loaded);
            QVERIFY(startUp.registrationRequested());
            QCOMPARE(host.calls, (QStringList{QStringLiteral("registerProgramPath"),
                                              QStringLiteral("registerFileType:ZELB")}));
        }
    }

    void reportsTheLastFailureInHexadecimal()
    {
        GatewayState state;
        RecordingHost host;
        host.programPathError.set(static_cast<int>(0x80004005u), QStringLiteral("first"));
        FakeDesktopServices desktop;
        StartUp startUp(state, host, desktop);
        startUp.startUp(QString(), [&] {
            state.applicationTitle = QStringLiteral("Line1 Socket-Server");
            return PendingError{};
        });
        QCOMPARE(desktop.messageTexts(), QStringList{QStringLiteral("80004005  first")});
        QCOMPARE(desktop.messages.first().box.caption, QStringLiteral("Line1 Socket-Server"));

        // Only the last failure is shown.
        FakeDesktopServices desktop2;
        StartUp again(state, host, desktop2);
        again.startUp(QString(), [] {
            PendingError e;
            e.set(91, QStringLiteral("Object variable not set"));
            return e;
        });
        QCOMPARE(desktop2.messageTexts(), QStringList{QStringLiteral("5B  Object variable not set")});
    }

    void resolvesThePlaceholderBothWays()
    {
        FakeDesktopServices desktop;
        const QString cfg = QStringLiteral("/plant/Server/line1.zelb");
        QString absolute;

        QCOMPARE(resolvePath(QStringLiteral("~apppath~/Data"), absolute, cfg, desktop), QStringLiteral("~apppath~/Data"));
        QCOMPARE(absolute, QStringLiteral("/plant/Data"));
        QCOMPARE(resolvePath(QStringLiteral("/plant/Data"), absolute, cfg, desktop), QStringLiteral("~apppath~/Data"));
        QCOMPARE(absolute, QStringLiteral("/plant/Data"));
        // The root itself, and a root compared without regard to case.
        QCOMPARE(resolvePath(QStringLiteral("/plant"), absolute, cfg, desktop), QStringLiteral("~apppath~"));
        QCOMPARE(resolvePath(QStringLiteral("/PLANT/x"), absolute, QStringLiteral("/plant/server/a.zelb"), desktop),
                 QStringLiteral("~apppath~/x"));
        // Outside the root: unchanged.
        QCOMPARE(resolvePath(QStringLiteral("/other/Data"), absolute, cfg, desktop), QStringLiteral("/other/Data"));
        QCOMPARE(absolute, QStringLiteral("/other/Data"));
        // Relative: the root in front without a separator.
        QCOMPARE(resolvePath(QStringLiteral("Data"), absolute, cfg, desktop), QStringLiteral("Data"));
        QCOMPARE(absolute, QStringLiteral("/plantData"));
        // A network path under a local root stays as it is.
        QCOMPARE(resolvePath(QStringLiteral("//host/share"), absolute, cfg, desktop), QStringLiteral("//host/share"));
        QCOMPARE(absolute, QStringLiteral("//host/share"));
        QCOMPARE(resolvePath(QString(), absolute, cfg, desktop), QString());
        QVERIFY(desktop.messages.isEmpty());
    }

    void leavesConnectionStringsAndForeignFoldersAlone()
    {
        FakeDesktopServices desktop;
        QString absolute;
        const QString conn = QStringLiteral("provider=x;Data Source=~apppath~/prog.mdb");
        QCOMPARE(resolvePath(conn, absolute, QStringLiteral("/plant/cfg/a.zelb"), desktop), conn);
        QCOMPARE(absolute, conn);
        QVERIFY(desktop.messages.isEmpty());

        // Not under a "Server" folder: no placeholder is resolved; one that is there is reported.
        QCOMPARE(resolvePath(QStringLiteral("/plant/Data"), absolute, QStringLiteral("/plant/cfg/a.zelb"), desktop),
                 QStringLiteral("/plant/Data"));
        QVERIFY(desktop.messages.isEmpty());
        QCOMPARE(resolvePath(QStringLiteral("~apppath~/Data"), absolute, QStringLiteral("/plant/cfg/a.zelb"), desktop),
                 QStringLiteral("~apppath~/Data"));
        QCOMPARE(absolute, QStringLiteral("~apppath~/Data"));
        QCOMPARE(desktop.messageTexts(), QStringList{QStringLiteral("Wrong Configpath found! /plant/cfg/a.zelb")});
        QVERIFY(desktop.messages.first().box.systemModal);

        // A bare file name has no folder: the program folder (/opt/plant/Server) is the root.
        QCOMPARE(resolvePath(QStringLiteral("~apppath~/Data"), absolute, QStringLiteral("a.zelb"), desktop),
                 QStringLiteral("~apppath~/Data"));
        QCOMPARE(absolute, QStringLiteral("/opt/plant/Data"));
    }
};

QTEST_GUILESS_MAIN(TestStartUp)
#include "TestStartUp.moc"
