// "kavetta --check" as a plant runs it: the real program on an instance folder with one fault
// each, its exit code and every problem with file, line and reason, and nothing started or
// written while it looks.
#include "GatewayProcess.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestConfigCheck : public QObject
{
    Q_OBJECT

private slots:
    void findsEachFault_data()
    {
        QTest::addColumn<QString>("serverFolder");
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // empty: the file is removed
        QTest::addColumn<QString>("where");      // "<file name>:<line>", or "" for a clean instance
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("exitCode");

        const QByteArray none;
        QTest::newRow("clean") << u"Server"_s << none << none << QString() << none << QString() << QString()
                               << 0;
        QTest::newRow("misspelled record")
            << u"Server"_s << QByteArray("\"Port\"") << QByteArray("\"Prot\"") << QString() << none
            << u"Kavetta.zelb:3"_s << u"unknown record \"Prot\" (did you mean \"Port\"?)"_s << 1;
        QTest::newRow("record in the wrong case")
            << u"Server"_s << QByteArray("\"Modulname\"") << QByteArray("\"modulname\"") << QString() << none
            << u"Kavetta.zelb:4"_s << u"(did you mean \"Modulname\"?)"_s << 1;
        QTest::newRow("port out of range")
            << u"Server"_s << QByteArray("\"RemotePort\",\"") << QByteArray("\"RemotePort\",\"9") << QString()
            << none << u"Kavetta.zelb:8"_s << u"is not a port number from 1 to 65535"_s << 1;
        QTest::newRow("three-state box")
            << u"Server"_s << QByteArray("\"Status\",1") << QByteArray("\"Status\",3") << QString() << none
            << u"Kavetta.zelb:10"_s << u"Status 3 is not 0, 1 or 2"_s << 1;
        QTest::newRow("two-state box")
            << u"Server"_s << QByteArray("\"ServerTest\",0") << QByteArray("\"ServerTest\",2") << QString()
            << none << u"Kavetta.zelb:9"_s << u"ServerTest 2 is not 0 or 1"_s << 1;
        QTest::newRow("time-out not a number")
            << u"Server"_s << QByteArray("\"Timeout\",\"10\"") << QByteArray("\"Timeout\",\"ten\"")
            << QString() << none << u"Kavetta.zelb:11"_s << u"Timeout \"ten\" is not a number of seconds"_s
            << 1;
        QTest::newRow("short time-out only warns")
            << u"Server"_s << QByteArray("\"Timeout\",\"10\"") << QByteArray("\"Timeout\",\"1\"") << QString()
            << none << u"Kavetta.zelb:11"_s << u"below 2 seconds"_s << 0;
        QTest::newRow("missing closing quote")
            << u"Server"_s << QByteArray("\"Test line\"") << QByteArray("\"Test line") << QString() << none
            << u"Kavetta.zelb:5"_s << u"the value of Maschinenname has no closing quote"_s << 1;
        QTest::newRow("unreadable boolean")
            << u"Server"_s << QByteArray("#FALSE#") << QByteArray("#FALS#") << QString() << none
            << u"Kavetta.zelb:15"_s << u"is not #TRUE# or #FALSE#; it reads as #TRUE#"_s << 1;
        QTest::newRow("apppath outside a Server folder")
            << u"Config"_s << none << none << QString() << none << u"Kavetta.zelb:1"_s
            << u"~apppath~ resolves to nowhere"_s << 1;
        QTest::newRow("template that does not parse")
            << u"Server"_s << none << none << u"Labels/broken.xml"_s
            << QByteArray("<label>\n<a></b>\n</label>\n") << u"broken.xml:2"_s
            << u"the template does not parse"_s << 1;
        QTest::newRow("no Labels folder only warns") << u"Server"_s << none << none << u"Labels"_s << none
                                                     << u"Labels"_s << u"no Labels folder"_s << 0;
        QTest::newRow("no print data database only warns")
            << u"Server"_s << none << none << u"../Data/System/prog.mdb"_s << none << u"prog.mdb"_s
            << u"no print data database"_s << 0;
        QTest::newRow("instance options")
            << u"Server"_s << none << none << u"Kavetta.ini"_s
            << QByteArray("[status]\nport = 9400\nadress = ::1\n") << u"Kavetta.ini:3"_s
            << u"unknown key adress in [status] (did you mean address?)"_s << 1;
        QTest::newRow("Modbus map") << u"Server"_s << none << none << u"Kavetta.modbus"_s
                                    << QByteArray(
                                           "Test.anford 1 coil 0 BOOL\nTest.SendData 1 holding 10 STRING\n")
                                    << u"Kavetta.modbus:2"_s << u"STRING needs its length"_s << 1;
        QTest::newRow("Modbus map without the module's variables")
            << u"Server"_s << none << none << u"Kavetta.modbus"_s << QByteArray("Test.anford 1 coil 0 BOOL\n")
            << u"Kavetta.modbus"_s << u"no variable Test.RecData"_s << 1;
    }

    void findsEachFault()
    {
        QFETCH(QString, serverFolder);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, where);
        QFETCH(QString, reason);
        QFETCH(int, exitCode);

        // A working instance: Plant/Server holds the configuration and Labels/, Plant/Data the
        // print data.
        QTemporaryDir dir;
        const QString home = dir.filePath(u"Plant/"_s + serverFolder);
        QVERIFY(QDir().mkpath(home + u"/Labels"_s) && QDir().mkpath(dir.filePath(u"Plant/Data/System"_s)));
        InstanceConfig records;
        records.plcPort = 48898;
        records.remotePort = 9100;
        QByteArray text = records.text();
        if (!from.isEmpty()) {
            QVERIFY(text.contains(from));
            text.replace(from, to);
        }
        const auto write = [](const QString &path, const QByteArray &bytes) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        QVERIFY(write(home + u"/Kavetta.zelb"_s, text));
        QVERIFY(write(dir.filePath(u"Plant/Data/System/prog.mdb"_s), "mdb"));
        for (const QString &name : {u"defaultLabel.xml"_s, u"etikett.xml"_s})
            QVERIFY(QFile::copy(QStringLiteral(KAVETTA_SOURCE_DIR "/examples/Labels/") + name,
                                home + u"/Labels/"_s + name));
        if (!file.isEmpty()) {
            const QString path = QDir::cleanPath(home + u'/' + file);
            if (content.isEmpty())
                QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
            else
                QVERIFY(write(path, content));
        }
        const QStringList before = QDir(home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

        QProcess check;
        QProcessEnvironment env = headlessEnvironment(dir.path(), home);
        check.setProcessEnvironment(env);
        check.start(QStringLiteral(KAVETTA_BINARY_DIR "/src/kavetta"), {u"--check"_s, u"--json"_s});
        QVERIFY(check.waitForFinished(10000));
        const QByteArray out = check.readAllStandardOutput();
        QCOMPARE(check.exitCode(), exitCode);

        const QJsonObject report = QJsonDocument::fromJson(out).object();
        QCOMPARE(report.value(u"configuration"_s).toString(), home + u"/Kavetta.zelb"_s);
        const QJsonArray problems = report.value(u"problems"_s).toArray();
        if (where.isEmpty()) {
            QVERIFY2(problems.isEmpty(), out.constData());
        } else {
            const auto found = std::any_of(problems.begin(), problems.end(), [&](const QJsonValue &v) {
                const QJsonObject p = v.toObject();
                const int line = p.value(u"line"_s).toInt();
                const QString at = QFileInfo(p.value(u"file"_s).toString()).fileName() +
                                   (line > 0 ? u':' + QString::number(line) : QString());
                return at == where && p.value(u"reason"_s).toString().contains(reason);
            });
            QVERIFY2(found, out.constData());
        }
        // It looked only: no log file, no event log entry, no store, nothing new in the folder.
        QCOMPARE(QDir(home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QVERIFY(!QFileInfo::exists(dir.filePath(u"events.log"_s)));
        QVERIFY(!QFileInfo::exists(dir.filePath(u"xdg-home"_s)));
    }
};

QTEST_MAIN(TestConfigCheck)
#include "TestConfigCheck.moc"
