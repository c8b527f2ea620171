#include "FakeDesktopServices.h"
#include "common/GatewayState.h"
#include "common/Services.h"
#include "config/ProgramPaths.h"
#include "startup/StartUp.h"

#include <QTest>

using namespace Qt::StringLiterals;

struct RecordingHost : HostIntegration {
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

class TestStartUp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("KAVETTA_HOME", "/opt/plant/Server"); }

    void splitsAtBlanksAndTabsOnly()
    {
        const auto list = [](const char *s) { return QString::fromLatin1(s).split(u'|'); };
        QCOMPARE(splitCommandLine(QString()), list(""));
        QCOMPARE(splitCommandLine(u"  \t "_s), list(""));
        QCOMPARE(splitCommandLine(u" a\tb  c "_s), list("|a|b|c"));
        // Quotes mean nothing to the splitter.
        QCOMPARE(splitCommandLine(u"\"/my dir/x.zelb\""_s), list("|\"/my|dir/x.zelb\""));
        // The eleventh argument and everything after it are dropped.
        QCOMPARE(splitCommandLine(u"1 2 3 4 5 6 7 8 9 10 11 12"_s), list("|1|2|3|4|5|6|7|8|9|10"));
        QCOMPARE(splitCommandLine(u"a b c"_s, 2), list("|a|b"));
        QCOMPARE(splitCommandLine(u"a b"_s, 0), list(""));
    }

    void choosesTheConfigurationFile_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("configFile"); // empty: the file type is registered instead of loading
        const QString def = QStringLiteral("/opt/plant/Server/Kavetta.zelb");
        // arguments|file chosen ("-": the default); the row is named by its arguments
        for (const char *row :
             {"|-", "/cfg/l.zelb|/cfg/l.zelb", "\"/cfg/l.zelb\"|/cfg/l.zelb", "\"/my cfg/l.zelb\"|-",
              "a.zelb.bak|a.zelb.bak", "/cfg/L.ZeLb|/cfg/L.ZeLb", ".zelb|-", "l2.zelb|l2.zelb",
              "-x /cfg/l.zelb|-", "\"/cfg/a.zelb\"rest|/cfg/a.zelb", "/regserver|", "-REGSERVER|",
              "-RegServer|"}) {
            const QStringList c = QString::fromLatin1(row).split(u'|');
            QTest::newRow(row) << c[0] << (c[1] == u"-"_s ? def : c[1]);
        }
    }

    void choosesTheConfigurationFile()
    {
        QFETCH(QString, args);
        QFETCH(QString, configFile);
        const bool reg = configFile.isEmpty();
        GatewayState state;
        RecordingHost host;
        FakeDesktopServices desktop;
        StartUp startUp(state, host, desktop);
        int loads = 0;
        QCOMPARE(startUp.startUp(args,
                                 [&] {
                                     ++loads;
                                     return PendingError{};
                                 }),
                 !reg);
        QCOMPARE(loads, reg ? 0 : 1);
        QCOMPARE(startUp.registrationRequested(), reg);
        QCOMPARE(host.calls.join(u','),
                 reg ? u"registerProgramPath,registerFileType:ZELB"_s : u"registerProgramPath"_s);
        if (!reg)
            QCOMPARE(state.configFile, configFile);
        QVERIFY(desktop.messages.isEmpty());
    }

    void reportsTheLastFailureInHexadecimal()
    {
        GatewayState state;
        RecordingHost host;
        host.programPathError.set(static_cast<int>(0x80004005u), u"first"_s);
        // Only the last failure is shown, under the title the loaded configuration gives.
        for (const int loadError : {0, 91}) {
            FakeDesktopServices desktop;
            StartUp(state, host, desktop).startUp(QString(), [&] {
                state.applicationTitle = u"Line1 Socket-Server"_s;
                return PendingError{loadError, u"Object variable not set"_s}; // number 0: no failure
            });
            QCOMPARE(desktop.messageTexts(),
                     QStringList{loadError ? u"5B  Object variable not set"_s : u"80004005  first"_s});
            QCOMPARE(desktop.messages.first().box.caption, u"Line1 Socket-Server"_s);
        }
    }

    void resolvesThePlaceholderBothWays_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("cfg");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("absolute");
        QTest::addColumn<QString>("message");
        // path|configuration file|stored|absolute|message; "C" is /plant/Server/line1.zelb, "F"
        // /plant/cfg/a.zelb (not under a "Server" folder: no placeholder is resolved, one that is
        // there is reported). A relative path gets the root in front without a separator; a bare
        // file name has no folder, so the program folder (/opt/plant/Server) is the root.
        const QString conn = u"provider=x;Data Source=~apppath~/prog.mdb"_s;
        for (const QString &row :
             {u"~apppath~/Data|C|~apppath~/Data|/plant/Data|"_s,
              u"/plant/Data|C|~apppath~/Data|/plant/Data|"_s, u"/plant|C|~apppath~|/plant|"_s,
              u"/PLANT/x|/plant/server/a.zelb|~apppath~/x|/PLANT/x|"_s,
              u"/other/Data|C|/other/Data|/other/Data|"_s, u"Data|C|Data|/plantData|"_s,
              u"//host/share|C|//host/share|//host/share|"_s, u"|C|||"_s,
              conn + u"|F|"_s + conn + u'|' + conn + u'|', u"/plant/Data|F|/plant/Data|/plant/Data|"_s,
              u"~apppath~/Data|F|~apppath~/Data|~apppath~/Data|Wrong Configpath found! F"_s,
              u"~apppath~/Data|a.zelb|~apppath~/Data|/opt/plant/Data|"_s}) {
            QStringList c = QString(row)
                                .replace(u"|C|"_s, u"|/plant/Server/line1.zelb|"_s)
                                .replace(u'F', u"/plant/cfg/a.zelb"_s)
                                .split(u'|');
            QTest::newRow(qPrintable(c[0] + u" in "_s + c[1])) << c[0] << c[1] << c[2] << c[3] << c[4];
        }
    }

    void resolvesThePlaceholderBothWays()
    {
        QFETCH(QString, path);
        QFETCH(QString, cfg);
        FakeDesktopServices desktop;
        QString result = QStringLiteral("stale");
        QTEST(resolvePath(path, result, cfg, desktop), "stored");
        QTEST(result, "absolute");
        QTEST(desktop.messageTexts().join(u'\n'), "message");
        QVERIFY(desktop.messages.isEmpty() || desktop.messages.first().box.systemModal);
    }
};

QTEST_GUILESS_MAIN(TestStartUp)
#include "TestStartUp.moc"
