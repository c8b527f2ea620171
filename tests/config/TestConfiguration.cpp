#include "FakeDesktopServices.h"
#include "FakeSocketEndpoint.h"
#include "RecordingLog.h"
#include "TestClock.h"
#include "common/GatewayState.h"
#include "config/Configuration.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace
{

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One gateway's configuration pieces around a temporary "Server" folder.
struct Fixture {
    QTemporaryDir dir;
    QString server = dir.path() + QStringLiteral("/Plant/Server");
    GatewayState state;
    FakeSocketEndpoint socket;
    RecordingLog log;
    FakeDesktopServices desktop;
    Configuration config{state, socket, log, desktop};

    Fixture()
    {
        QDir().mkpath(server);
        qputenv("KAVETTA_HOME", server.toUtf8());
        state.configFile = server + QStringLiteral("/Kavetta.zelb");
    }
    void load(const QByteArray &content)
    {
        QFile file(state.configFile);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        config.loadConfiguration();
    }
};

const QByteArray kFullFile = "\"ServerPath\",\"~apppath~/Data\"\r\n"
                             "\"Netid\",\"127.0.0.1\"\r\n"
                             "\"Port\",\"48898\"\r\n"
                             "\"Modulname\",\"Line1\"\r\n"
                             "\"Maschinenname\",\"Pr\xFC"
                             "fstand 3\"\r\n"
                             "\"XML-Export\",2\r\n"
                             "\"RemoteHost\",\"printer.local\"\r\n"
                             "\"RemotePort\",\"9100\"\r\n"
                             "\"ServerTest\",0\r\n"
                             "\"Status\",1\r\n"
                             "\"Timeout\",\"7.9\"\r\n"
                             "\"StaticConnect\",1\r\n"
                             "\"ResetOnError\",0\r\n"
                             "\"UTF8Codierung\",1\r\n"
                             "\"AutoConnectOff\",#TRUE#\r\n";

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void roundTripsByteForByte()
    {
        Fixture f;
        f.load(kFullFile);
        // The saves below prove the edit fields; here what loading derives from them.
        QCOMPARE(f.state.serverPath, f.dir.path() + QStringLiteral("/Plant/Data"));
        QCOMPARE(f.state.xmlExportLevel, qint16(2));
        QCOMPARE(f.state.timeoutSec, 8);
        QVERIFY(f.state.cmdConnectVisible && f.state.cmdCloseVisible); // static connection, client role

        QFile::remove(f.state.configFile);
        f.config.saveConfiguration();
        QCOMPARE(readAll(f.state.configFile), kFullFile);

        // Whatever the order of the loaded file, the save writes the fixed order.
        QList<QByteArray> lines = kFullFile.split('\n');
        std::reverse(lines.begin(), lines.end());
        f.load(lines.join('\n'));
        f.config.saveConfiguration();
        QCOMPARE(readAll(f.state.configFile), kFullFile);

        // Missing keys take their defaults, whatever the previous file set.
        f.load(QByteArray());
        QCOMPARE(f.state.timeoutSec, 2);
        QCOMPARE(f.state.serverPath, f.dir.path() + QStringLiteral("/Plant")); // "/Server" removed
        QVERIFY(!f.state.cmdConnectVisible && !f.state.cmdCloseVisible);
        QVERIFY(f.socket.calls.isEmpty()); // the client role leaves the socket alone

        f.config.saveConfiguration();
        const QByteArray saved = readAll(f.state.configFile);
        QVERIFY(saved.startsWith("\"ServerPath\",\"\"\r\n\"Netid\",\"\"\r\n"));
        QVERIFY(
            saved.endsWith("\"ResetOnError\",1\r\n\"UTF8Codierung\",0\r\n\"AutoConnectOff\",#FALSE#\r\n"));
        QCOMPARE(saved.count("\r\n"), 15);

        // A missing file reads like an empty one.
        QFile::remove(f.state.configFile);
        f.config.loadConfiguration();
        QCOMPARE(f.state.modulName, QString());
    }

    void takesWhatItCanFromOddFiles()
    {
        Fixture f;
        f.load("\"Modulname\",\"A\"\r\n"
               "\"modulname\",\"lower case is another key\"\r\n"
               "\"Modulname\",\"B\"\r\n"
               "\"RemoteHost\"\r\n"                    // one field
               "\"RemotePort\",\"9100\",\"extra\"\r\n" // three fields
               "\"Netid\",\"unterminated\r\n"          // quote never closed
               "\"Port\",  851  \r\n"                  // unquoted, blanks dropped
               "\"Maschinenname\",\"M1\"trailing,x\n"  // text after the quote dropped, LF only
               "\"Status\",abc\r\n"                    // letters: box keeps its value
               "\"ServerTest\",3\r\n"                  // above 2: box keeps its value
               "\"StaticConnect\",1.6\r"               // rounded, lone CR
               ",\"no key\"\r\n"
               "\x01\x02\xFF\xFE garbage\r\n"
               "\"AutoConnectOff\",\"\"\r\n"); // not a boolean: stays true
        QCOMPARE((QStringList{f.state.modulName, f.state.txtIP, f.state.txtSocket, f.state.txtNetId,
                              f.state.txtPort, f.state.txtMasch}),
                 (QStringList{"B", "", "9100", "unterminated", "851", "M1"}));
        // 1.6 rounds to 2, a grayed box, still a static connection.
        QCOMPARE((QList<int>{f.state.chkStatus, f.state.chkServer, f.state.chkCon}), (QList<int>{0, 0, 2}));
        QVERIFY(f.state.cmdCloseVisible);
        QVERIFY(f.state.autoConnectOff);

        f.load("\"Timeout\",\"abc\"\r\n\"AutoConnectOff\",#FALSE#\r\n");
        QCOMPARE(f.state.timeoutSec, 2);
        QVERIFY(!f.state.autoConnectOff);

        // Ten megabytes strewn with every byte value (quotes, line ends, NULs) neither hang nor
        // crash the reader, and a record after them still counts.
        QByteArray big(10 * 1024 * 1024, 'x');
        for (int i = 0; i < big.size(); i += 97)
            big[i] = static_cast<char>(i * 37);
        big.append("\r\n\"Modulname\",\"AfterTheNoise\"\r\n");
        f.load(big);
        QCOMPARE(f.state.modulName, QStringLiteral("AfterTheNoise"));
    }

    void roundsTheTimeout_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("seconds");
        // Halves round to even, a comma is no decimal point, and at least 2 s; a number that
        // does not fit 32 bits is not taken: the previous 45 s stay.
        for (const char *row : {"=2", "0=2", "1=2", "7.9=8", "2.5=2", "3.5=4", " 12abc=12", "-30=2", "1e1=10",
                                "7,9=7", "2147483647=2147483647", "-2147483648.5=2", "3000000000=45",
                                "2147483647.5=45", "-3000000000=45", "1e300=45", "1e999=45"}) {
            const QStringList c = QString::fromLatin1(row).split(u'=');
            QTest::newRow(row) << c[0] << c[1].toInt();
        }
    }

    void roundsTheTimeout()
    {
        QFETCH(QString, text);
        Fixture f;
        f.state.timeoutSec = 45;
        f.state.txtTimeout = text;
        f.config.apply();
        QTEST(f.state.timeoutSec, "seconds");
    }

    void listensInTheServerRole()
    {
        TestClock clock;
        Fixture f;
        f.state.chkServer = 1;
        f.state.chkCon = 1;
        f.state.txtSocket = QStringLiteral("9100");
        f.state.connAccepted = true;
        f.socket.state = SocketEndpoint::Connected;
        f.config.apply();
        QCOMPARE(f.socket.calls, (QStringList{QStringLiteral("Close"), QStringLiteral("setLocalPort:9100"),
                                              QStringLiteral("Listen")}));
        QCOMPARE(f.socket.State(), int(SocketEndpoint::Listening));
        QVERIFY(!f.state.connAccepted);
        QVERIFY(!f.state.cmdConnectVisible && f.state.cmdCloseVisible); // server role: Close only

        // A port that is not a number: reported at level 1 to the label and the log only.
        f.state.chkStatus = 1;
        f.state.txtSocket = QStringLiteral("abc");
        f.config.apply();
        QVERIFY(f.state.lblError.endsWith(QStringLiteral("Error setting Port: <abc/0>\r\nType mismatch")));
        QCOMPARE(f.log.records, (QList<QPair<QString, bool>>{{f.state.lblError, true}}));
        QVERIFY(!f.socket.pendingError().isSet());

        // A port the endpoint refuses and a failing listen, at level 2: also to the message list.
        f.log.records.clear();
        f.state.chkStatus = 2;
        f.state.txtSocket = QStringLiteral("70000");
        f.socket.failListen = true;
        f.config.apply();
        QCOMPARE(f.log.records.size(), 2);
        QVERIFY(f.log.records[0].first.endsWith(
            QStringLiteral("Error setting Port: <70000/0>\r\nInvalid property value")));
        QVERIFY(f.log.records[1].first.endsWith(
            QStringLiteral("Error Listen Port: <70000/0>\r\nAddress in use")));
        QVERIFY(!f.log.records[1].second);

        // Level 0: nothing is shown or logged.
        f.log.records.clear();
        f.state.lblError.clear();
        f.state.chkStatus = 0;
        f.config.apply();
        QVERIFY(f.log.records.isEmpty() && f.state.lblError.isEmpty());
    }

    void savesAsOnlyToConfigurationFiles()
    {
        Fixture f;
        f.state.txtModulname = QStringLiteral("Line7");
        const QString txt = f.server + QStringLiteral("/other.txt");
        f.desktop.chosenFileNames.enqueue(txt);
        f.config.saveAs();
        QCOMPARE(f.desktop.messageTexts(), QStringList{QStringLiteral("Wrong Filename :") + txt});
        QVERIFY(!QFile::exists(txt));

        // Cancelling the dialog saves nothing and says nothing.
        f.config.saveAs();
        QCOMPARE(f.desktop.messages.size(), 1);
        QVERIFY(!QFile::exists(f.state.configFile));

        const QString other = f.server + QStringLiteral("/line7.ZELB");
        f.desktop.chosenFileNames.enqueue(other);
        f.config.saveAs();
        QCOMPARE(f.desktop.presetPaths.last(), f.server + QStringLiteral("/Kavetta.zelb"));
        QCOMPARE(f.state.configFile, other);
        QVERIFY(readAll(other).contains("\"Modulname\",\"Line7\"\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "TestConfiguration.moc"
