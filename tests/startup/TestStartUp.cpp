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
        calls << u"registerProgramPath"_s;
        return programPathError;
    }
    PendingError registerFileType(const QString &extension) override
    {
        calls << u"registerFileType:"_s + extension;
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
        // Quotes mean nothing to the splitter; the eleventh argument and all after it are dropped.
        QCOMPARE(splitCommandLine(u" \"/my dir/x.zelb\"\tb "_s), list("|\"/my|dir/x.zelb\"|b"));
        QCOMPARE(splitCommandLine(u"1 2 3 4 5 6 7 8 9 10 11 12"_s), list("|1|2|3|4|5|6|7|8|9|10"));
    }

    // Arguments|file chosen ("-": the default; empty: the file type is registered instead of loading).
    void choosesTheConfigurationFile()
    {
        for (const char *row :
             {"|-", "\"/cfg/l.zelb\"|/cfg/l.zelb", "\"/my cfg/l.zelb\"|-", "/cfg/L.ZeLb|/cfg/L.ZeLb",
              ".zelb|-", "-x /cfg/l.zelb|-", "\"/cfg/a.zelb\"rest|/cfg/a.zelb", "-RegServer|"}) {
            const QStringList c = QString::fromLatin1(row).split(u'|');
            const QString file = c[1] == u"-"_s ? u"/opt/plant/Server/Kavetta.zelb"_s : c[1];
            GatewayState state;
            RecordingHost host;
            FakeDesktopServices desktop;
            const auto load = [&] { return host.calls << u"load"_s, PendingError{}; };
            const bool loaded = StartUp(state, host, desktop).startUp(c[0], load);
            const QString then = file.isEmpty() ? u"registerFileType:ZELB"_s : u"load"_s;
            QCOMPARE(QStringList({c[0], loaded ? state.configFile : QString(), host.calls.join(u',')}),
                     QStringList({c[0], file, u"registerProgramPath,"_s + then}));
        }
    }

    // Only the last failure is shown, in hexadecimal, under the title the loaded configuration gives.
    void reportsTheLastFailureInHexadecimal()
    {
        GatewayState state;
        RecordingHost host;
        host.programPathError.set(static_cast<int>(0x80004005u), u"first"_s);
        FakeDesktopServices desktop;
        StartUp(state, host, desktop).startUp(QString(), [&] {
            state.applicationTitle = u"Line1 Socket-Server"_s;
            return PendingError{91, u"Object variable not set"_s};
        });
        QCOMPARE(desktop.messageTexts(), QStringList{u"5B  Object variable not set"_s});
        QCOMPARE(desktop.messages.first().box.caption, u"Line1 Socket-Server"_s);
    }

    // Path|configuration file|stored|absolute|message. A configuration not under a "Server" folder
    // resolves no placeholder and reports one that is there. A relative path gets the root in front
    // without a separator.
    void resolvesThePlaceholderBothWays()
    {
        // The last row is one text over two lines.
        for (const char *row :
             {"~apppath~/Data|/p/Server/l.zelb|~apppath~/Data|/p/Data|",
              "/p/Data|/p/Server/l.zelb|~apppath~/Data|/p/Data|", "/P/x|/p/server/a.zelb|~apppath~/x|/P/x|",
              "Data|/p/Server/l.zelb|Data|/pData|", "~apppath~/Data|a.zelb|~apppath~/Data|/opt/plant/Data|",
              // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
              "~apppath~/Data|/p/cfg/a.zelb|~apppath~/Data|~apppath~/Data|Wrong Configpath found! "
              "/p/cfg/a.zelb"}) {
            const QStringList c = QString::fromLatin1(row).split(u'|');
            FakeDesktopServices desktop;
            QString absolute = u"stale"_s;
            const QString stored = resolvePath(c[0], absolute, c[1], desktop);
            QCOMPARE(QStringList({c[0], c[1], stored, absolute, desktop.messageTexts().join(u'\n')}), c);
        }
    }
};

QTEST_GUILESS_MAIN(TestStartUp)
#include "TestStartUp.moc"
