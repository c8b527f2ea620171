#include "FakeDesktopServices.h"
#include "FakeSocketEndpoint.h"
#include "RecordingLog.h"
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
        QCOMPARE(f.state.settings.serverPath, f.dir.path() + QStringLiteral("/Plant/Data"));
        QCOMPARE(f.state.settings.timeoutSeconds, 8);
        QVERIFY(f.state.connectButtonVisible && f.state.closeButtonVisible); // static connection, client role

        QVERIFY(QFile::remove(f.state.configFile));
        f.config.saveConfiguration();
        QCOMPARE(readAll(f.state.configFile), kFullFile);

        // Missing keys take their defaults, whatever the previous file set.
        f.load(QByteArray());
        QCOMPARE(f.state.settings.timeoutSeconds, 2);
        QVERIFY(!f.state.connectButtonVisible &&
                f.socket.calls.isEmpty()); // the client role leaves the socket
        f.config.saveConfiguration();
        QVERIFY(readAll(f.state.configFile)
                    .endsWith("\"ResetOnError\",1\r\n\"UTF8Codierung\",0\r\n\"AutoConnectOff\",#FALSE#\r\n"));

        // Save as: only to configuration files.
        const QString txt = f.server + QStringLiteral("/other.txt");
        f.desktop.chosenFileNames.enqueue(txt);
        f.config.saveAs();
        QCOMPARE(f.desktop.messageTexts(), QStringList{QStringLiteral("Wrong Filename :") + txt});
        const QString other = f.server + QStringLiteral("/line7.ZELB");
        f.desktop.chosenFileNames.enqueue(other);
        f.config.saveAs();
        QVERIFY(!QFile::exists(txt) && QFile::exists(other));
    }

    void takesWhatItCanFromOddFiles()
    {
        Fixture f;
        QByteArray file = "\"Modulname\",\"A\"\r\n"
                          "\"Netid\",\"unterminated\r\n"         // quote never closed
                          "\"Port\",  851  \r\n"                 // unquoted, blanks dropped
                          "\"Maschinenname\",\"M1\"trailing,x\n" // text after the quote dropped, LF only
                          "\"StaticConnect\",1.6\r"              // rounded, lone CR
                          "\"AutoConnectOff\",\"\"\r\n";         // not a boolean: stays true
        // Then ten megabytes strewn with every byte value: they neither hang nor crash the
        // reader, and a record after them still counts (the last of a key wins).
        QByteArray noise(qsizetype(10) * 1024 * 1024, 'x');
        for (int i = 0; i < noise.size(); i += 97)
            noise[i] = static_cast<char>(i * 37);
        f.load(file + noise + "\r\n\"Modulname\",\"AfterTheNoise\"\r\n");
        QCOMPARE((QStringList{f.state.settings.moduleName, f.state.edited.plcNetId, f.state.edited.plcPort,
                              f.state.edited.machineName}),
                 (QStringList{"AfterTheNoise", "unterminated", "851", "M1"}));
        QVERIFY(f.state.settings.staticConnection.value() == 2 && f.state.closeButtonVisible &&
                f.state.settings.autoConnectOff);
        // A grayed mark counts as on and is written back as it was read.
        f.config.saveConfiguration();
        QVERIFY(readAll(f.state.configFile).contains("\"StaticConnect\",2\r\n"));
    }

    void appliesTheEditFields()
    {
        Fixture f;
        // Halves round to even, a comma is no decimal point, and at least 2 s; a number that
        // does not fit 32 bits is not taken: the previous 45 s stay.
        for (const char *row : {"0=2", "1=2", "7.9=8", "2.5=2", "3.5=4", " 12abc=12", "7,9=7",
                                "2147483647=2147483647", "3000000000=45", "1e999=45"}) {
            const QStringList c = QString::fromLatin1(row).split(u'=');
            f.state.settings.timeoutSeconds = 45;
            f.state.edited.timeout = c[0];
            f.config.apply();
            QVERIFY2(f.state.settings.timeoutSeconds == c[1].toInt(), row);
        }

        // The server role listens at once.
        f.state.settings.serverRole = true;
        f.state.settings.staticConnection = true;
        f.state.edited.remotePort = QStringLiteral("9100");
        f.state.connAccepted = true;
        f.socket.current = SocketEndpoint::Connected;
        f.config.apply();
        QCOMPARE(f.socket.calls, (QStringList{QStringLiteral("Close"), QStringLiteral("setLocalPort:9100"),
                                              QStringLiteral("Listen")}));
        QVERIFY(!f.state.connAccepted && f.socket.state() == SocketEndpoint::Listening);
        QVERIFY(!f.state.connectButtonVisible && f.state.closeButtonVisible); // server role: Close only

        // A port that is not a number, at level 2: to the log and the message list too.
        f.state.settings.statusReport = 2;
        f.state.edited.remotePort = QStringLiteral("abc");
        f.socket.failListen = true;
        f.config.apply();
        QCOMPARE(f.log.records.size(), 2);
        QVERIFY(f.log.records[0].first.endsWith("Error setting Port: <abc/0>\r\nType mismatch"));
        QVERIFY(f.log.records[1].first.endsWith("Error Listen Port: <abc/0>\r\nAddress in use") &&
                !f.log.records[1].second);
    }
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "TestConfiguration.moc"
