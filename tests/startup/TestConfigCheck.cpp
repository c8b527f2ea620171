// "kavetta --check" as a plant runs it: the real program on an instance folder with one fault
// each, its exit code and every problem with file, line and reason, and nothing started or
// written while it looks.
#include "GatewayInstance.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

class TestConfigCheck : public QObject
{
    Q_OBJECT

private slots:
    void findsEachFault()
    {
        // Each row: what it changes, where the problem is ("<file name>:<line>"; none for a clean
        // instance) and why, the exit code. A change is "from>to" in the configuration records, or
        // "file:content" (no content: the file is removed); "@" makes the folder Config, not Server.
        const QList<std::array<const char *, 4>> rows = {
            {"", "", "", "0"},
            {"\"Port\">\"Prot\"", "Kavetta.zelb:3", "unknown record \"Prot\" (did you mean \"Port\"?)", "1"},
            {"\"RemotePort\",\">\"RemotePort\",\"9", "Kavetta.zelb:8", "is not a port number from 1 to 65535",
             "1"},
            {"\"10\">\"1\"", "Kavetta.zelb:11", "below 2 seconds", "0"},
            {"\"ServerTest\",0>\"ServerTest\",2", "Kavetta.zelb:9",
             "ServerTest 2 is a grayed check box; the gateway reads it as checked: it waits for the peer",
             "0"},
            {"@", "Kavetta.zelb:1", "~apppath~ resolves to nowhere", "1"},
            {"Labels/broken.xml:<label>\n<a></b>\n</label>\n", "broken.xml:2", "the template does not parse",
             "1"},
            {"../Data/System/prog.mdb:", "prog.mdb", "no print data database", "0"},
            {"Kavetta.ini:[status]\nport = 9400\nadress = ::1\n", "Kavetta.ini:3",
             "unknown key adress in [status] (did you mean address?)", "1"},
            {"Kavetta.modbus:Test.anford 1 coil 0 BOOL\nTest.SendData 1 holding 10 STRING\n",
             "Kavetta.modbus:2", "STRING needs its length", "1"},
            {"\"Test line\">\"Pr\xc3\xbc"
             "fstand S\xc3\xbc"
             "d\"",
             "Kavetta.zelb:5", "reads as UTF-8, but the gateway reads Windows-1252", "0"},
            {"\"Test line\">\"Pr\xfc"
             "fstand\"",
             "", "", "0"}};
        for (const auto &[changeText, where, reason, exitCode] : rows) {
            // A working instance: Server/ holds the configuration and Labels/, Data/ the print data.
            GatewayInstance in("Test");
            const QByteArray change(changeText);
            if (change == "@")
                in.home = in.dir.filePath(u"Config"_s);
            QVERIFY(QDir().mkpath(in.home + u"/Labels"_s) &&
                    QDir().mkpath(in.dir.filePath(u"Data/System"_s)));
            in.config.plcPort = in.config.remotePort = 9100;
            QByteArray text = in.config.text();
            const qsizetype colon = change.indexOf(':'), arrow = colon > 0 ? -1 : change.indexOf('>');
            if (arrow > 0)
                text.replace(change.left(arrow), change.mid(arrow + 1));
            QVERIFY(in.write(u"/Kavetta.zelb"_s, text) && in.write(u"/../Data/System/prog.mdb"_s, "mdb"));
            for (const QString &name : {u"defaultLabel.xml"_s, u"etikett.xml"_s})
                QVERIFY(QFile::copy(KAVETTA_SOURCE_DIR "/examples/Labels/" + name,
                                    in.home + u"/Labels/"_s + name));
            const QString changed = u'/' + QString::fromLatin1(change.left(colon));
            if (colon > 0)
                QVERIFY(change.endsWith(':') ? QFile::remove(in.home + changed)
                                             : in.write(changed, change.mid(colon + 1)));
            const QStringList before = QDir(in.home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

            QProcess check;
            check.setProcessEnvironment(headlessEnvironment(in.dir.path(), in.home));
            check.start(QStringLiteral(KAVETTA_BINARY_DIR "/src/kavetta"), {u"--check"_s, u"--json"_s});
            QVERIFY(check.waitForFinished(10000));
            const QByteArray out = check.readAllStandardOutput();
            QVERIFY2(check.exitCode() == QByteArray(exitCode).toInt(), out.constData());
            const QJsonArray problems = QJsonDocument::fromJson(out).object().value(u"problems"_s).toArray();
            const auto found = std::any_of(
                problems.begin(), problems.end(), [&, where = where, reason = reason](const QJsonValue &v) {
                    const QJsonObject p = v.toObject();
                    const int line = p.value(u"line"_s).toInt();
                    const QString at = QFileInfo(p.value(u"file"_s).toString()).fileName() +
                                       (line > 0 ? u':' + QString::number(line) : QString());
                    return at == QLatin1String(where) &&
                           p.value(u"reason"_s).toString().contains(QLatin1String(reason));
                });
            QVERIFY2(*where ? found : problems.isEmpty(), out.constData());
            // It looked only: no log file, no event log entry, no store, nothing new in the folder.
            QCOMPARE(QDir(in.home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
            QVERIFY(!QFileInfo::exists(in.dir.filePath(u"events.log"_s)) &&
                    !QFileInfo::exists(in.dir.filePath(u"xdg-home"_s)));
        }
    }

    // A configuration named by path, without KAVETTA_HOME (as an operator types it after
    // reading the monitoring guide): the Labels/ folder checked is the one beside it.
    void aPathNamesTheInstanceFolder()
    {
        GatewayInstance in("Test");
        in.config.plcPort = in.config.remotePort = 9100;
        QVERIFY(in.writeConfig() && in.write(u"/Labels/broken.xml"_s, "<label>\n<a></b>\n"));
        QProcessEnvironment env = headlessEnvironment(in.dir.path(), in.home);
        env.remove(u"KAVETTA_HOME"_s);
        QProcess check;
        check.setProcessEnvironment(env);
        check.start(QStringLiteral(KAVETTA_BINARY_DIR "/src/kavetta"),
                    {u"--check"_s, in.home + u"/Kavetta.zelb"_s});
        QVERIFY(check.waitForFinished(10000));
        const QString out = QString::fromUtf8(check.readAllStandardOutput());
        QVERIFY2(out.contains(in.home + u"/Labels/broken.xml:2: error: the template does not parse"_s),
                 qPrintable(out));
        QCOMPARE(check.exitCode(), 1);
    }
};

QTEST_MAIN(TestConfigCheck)
#include "TestConfigCheck.moc"
