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
        QTest::newRow("none") << QString() << def;
        QTest::newRow("plain") << "/cfg/line1.zelb"
                               << "/cfg/line1.zelb";
        QTest::newRow("quoted") << "\"/cfg/line1.zelb\""
                                << "/cfg/line1.zelb";
        QTest::newRow("quoted with blank") << "\"/my cfg/line1.zelb\"" << def;
        QTest::newRow("extension inside") << "a.zelb.bak"
                                          << "a.zelb.bak";
        QTest::newRow("odd case") << "/cfg/L.ZeLb"
                                  << "/cfg/L.ZeLb";
        QTest::newRow("extension only") << ".zelb" << def;
        QTest::newRow("relative") << "line2.zelb"
                                  << "line2.zelb";
        QTest::newRow("second argument ignored") << "-x /cfg/line1.zelb" << def;
        QTest::newRow("text after quote cut") << "\"/cfg/a.zelb\"rest"
                                              << "/cfg/a.zelb";
        for (const char *reg : {"/regserver", "-REGSERVER", "-RegServer"})
            QTest::newRow(reg) << reg << QString();
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
        const QString cfg = QStringLiteral("/plant/Server/line1.zelb");
        const QString foreign = QStringLiteral("/plant/cfg/a.zelb");
        const QString conn = QStringLiteral("provider=x;Data Source=~apppath~/prog.mdb");
        QTest::newRow("placeholder") << "~apppath~/Data" << cfg << "~apppath~/Data"
                                     << "/plant/Data"
                                     << "";
        QTest::newRow("absolute") << "/plant/Data" << cfg << "~apppath~/Data"
                                  << "/plant/Data"
                                  << "";
        QTest::newRow("the root itself") << "/plant" << cfg << "~apppath~"
                                         << "/plant"
                                         << "";
        QTest::newRow("root in other case") << "/PLANT/x"
                                            << "/plant/server/a.zelb"
                                            << "~apppath~/x"
                                            << "/PLANT/x"
                                            << "";
        QTest::newRow("outside the root") << "/other/Data" << cfg << "/other/Data"
                                          << "/other/Data"
                                          << "";
        // Relative: the root in front without a separator.
        QTest::newRow("relative") << "Data" << cfg << "Data"
                                  << "/plantData"
                                  << "";
        QTest::newRow("network path") << "//host/share" << cfg << "//host/share"
                                      << "//host/share"
                                      << "";
        QTest::newRow("empty") << "" << cfg << ""
                               << ""
                               << "";
        QTest::newRow("connection string") << conn << foreign << conn << conn << "";
        // Not under a "Server" folder: no placeholder is resolved; one that is there is reported.
        QTest::newRow("foreign folder") << "/plant/Data" << foreign << "/plant/Data"
                                        << "/plant/Data"
                                        << "";
        QTest::newRow("foreign placeholder") << "~apppath~/Data" << foreign << "~apppath~/Data"
                                             << "~apppath~/Data"
                                             << "Wrong Configpath found! /plant/cfg/a.zelb";
        // A bare file name has no folder: the program folder (/opt/plant/Server) is the root.
        QTest::newRow("bare file name") << "~apppath~/Data"
                                        << "a.zelb"
                                        << "~apppath~/Data"
                                        << "/opt/plant/Data"
                                        << "";
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
