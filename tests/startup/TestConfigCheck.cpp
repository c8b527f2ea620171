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
        QTest::addColumn<QByteArray>("change");
        QTest::addColumn<QString>("where"); // "<file name>:<line>", or "" for a clean instance
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("exitCode");

        // Each row: what it changes, then where the problem is and why, then the exit code. A
        // change is "from>to" in the configuration records, or "file:content" (no content: the
        // file is removed); "@" makes the folder Config instead of Server.
        const QList<std::array<const char *, 4>> rows = {
            {"", "", "", "0"},
            {"\"Port\">\"Prot\"", "Kavetta.zelb:3", "unknown record \"Prot\" (did you mean \"Port\"?)", "1"},
            {"\"Modulname\">\"modulname\"", "Kavetta.zelb:4", "(did you mean \"Modulname\"?)", "1"},
            {"\"RemotePort\",\">\"RemotePort\",\"9", "Kavetta.zelb:8", "is not a port number from 1 to 65535",
             "1"},
            {"\"Status\",1>\"Status\",3", "Kavetta.zelb:10", "Status 3 is not 0, 1 or 2", "1"},
            {"\"ServerTest\",0>\"ServerTest\",2", "Kavetta.zelb:9", "ServerTest 2 is not 0 or 1", "1"},
            {"\"10\">\"ten\"", "Kavetta.zelb:11", "Timeout \"ten\" is not a number of seconds", "1"},
            {"\"10\">\"1\"", "Kavetta.zelb:11", "below 2 seconds", "0"},
            {"\"Test line\">\"Test line", "Kavetta.zelb:5", "the value of Maschinenname has no closing quote",
             "1"},
            {"#FALSE#>#FALS#", "Kavetta.zelb:15", "is not #TRUE# or #FALSE#; it reads as #TRUE#", "1"},
            {"@", "Kavetta.zelb:1", "~apppath~ resolves to nowhere", "1"},
            {"Labels/broken.xml:<label>\n<a></b>\n</label>\n", "broken.xml:2", "the template does not parse",
             "1"},
            {"Labels:", "Labels", "no Labels folder", "0"},
            {"../Data/System/prog.mdb:", "prog.mdb", "no print data database", "0"},
            {"Kavetta.ini:[status]\nport = 9400\nadress = ::1\n", "Kavetta.ini:3",
             "unknown key adress in [status] (did you mean address?)", "1"},
            {"Kavetta.modbus:Test.anford 1 coil 0 BOOL\nTest.SendData 1 holding 10 STRING\n",
             "Kavetta.modbus:2", "STRING needs its length", "1"},
            {"Kavetta.modbus:Test.anford 1 coil 0 BOOL\n", "Kavetta.modbus", "no variable Test.RecData",
             "1"}};
        for (const auto &[change, where, reason, exitCode] : rows)
            QTest::newRow(*reason ? reason : "clean")
                << QByteArray(change) << QString::fromLatin1(where) << QString::fromLatin1(reason)
                << QByteArray(exitCode).toInt();
    }

    void findsEachFault()
    {
        QFETCH(QByteArray, change);
        QFETCH(QString, where);
        QFETCH(QString, reason);
        QFETCH(int, exitCode);

        // A working instance: Plant/Server holds the configuration and Labels/, Plant/Data the
        // print data.
        QTemporaryDir dir;
        const QString home = dir.filePath(change == "@" ? u"Plant/Config"_s : u"Plant/Server"_s);
        QVERIFY(QDir().mkpath(home + u"/Labels"_s) && QDir().mkpath(dir.filePath(u"Plant/Data/System"_s)));
        InstanceConfig records;
        records.plcPort = 48898;
        records.remotePort = 9100;
        QByteArray text = records.text();
        const qsizetype colon = change.indexOf(':'), arrow = colon > 0 ? -1 : change.indexOf('>');
        if (arrow > 0) {
            QVERIFY(text.contains(change.left(arrow)));
            text.replace(change.left(arrow), change.mid(arrow + 1));
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
        if (colon > 0) {
            const QString path = QDir::cleanPath(home + u'/' + QString::fromLatin1(change.left(colon)));
            const QByteArray content = change.mid(colon + 1);
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
