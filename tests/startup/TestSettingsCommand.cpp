// "kavetta --settings" on an instance folder as a roll-out runs it: the real program, what it
// writes compared with what the gateway's own writer writes, and that the loader and "--check"
// read each value alike.
#include "common/GatewayState.h"
#include "config/ConfigRecords.h"
#include "config/Configuration.h"
#include "config/InstanceOptions.h"
#include "startup/ConfigCheck.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace
{

const QByteArray kConfig = "\"ServerPath\",\"\"\r\n"
                           "\"Netid\",\"127.0.0.1\"\r\n"
                           "\"Port\",\"48898\"\r\n"
                           "\"Modulname\",\"Line1\"\r\n"
                           "\"Maschinenname\",\"Pr\xFC"
                           "fstand\"\r\n"
                           "\"XML-Export\",0\r\n"
                           "\"RemoteHost\",\"127.0.0.1\"\r\n"
                           "\"RemotePort\",\"9100\"\r\n"
                           "\"ServerTest\",0\r\n"
                           "\"Status\",1\r\n"
                           "\"Timeout\",\"10\"\r\n"
                           "\"StaticConnect\",1\r\n"
                           "\"ResetOnError\",1\r\n"
                           "\"UTF8Codierung\",0\r\n"
                           "\"AutoConnectOff\",#FALSE#\r\n";

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

struct Instance {
    QTemporaryDir dir;
    QString zelb = dir.filePath(u"Kavetta.zelb"_s);
    QString ini = dir.filePath(u"Kavetta.ini"_s);
    QByteArray err;

    Instance()
    {
        QFile::remove(ini);
        QVERIFY(QFile::copy(KAVETTA_SOURCE_DIR "/examples/Kavetta.ini", ini) &&
                QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner));
        QFile f(zelb);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(kConfig) == kConfig.size());
    }
    QProcess *start(const QStringList &args) const
    {
        auto *p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KAVETTA_HOME"_s, dir.path());
        p->setProcessEnvironment(env);
        p->start(QStringLiteral(KAVETTA_BINARY_DIR "/src/kavetta"), QStringList{u"--settings"_s} + args);
        return p;
    }
    // Runs "kavetta --settings VERB [--json] CONFIG ARGS..."; its exit code, stdout in out.
    int run(const QString &verb, const QStringList &args, QByteArray *out = nullptr)
    {
        std::unique_ptr<QProcess> p(start(QStringList{verb, u"--json"_s, zelb} + args));
        if (!p->waitForFinished(10000))
            return -1;
        if (out)
            *out = p->readAllStandardOutput();
        err = p->readAllStandardError();
        return p->exitCode();
    }
    // The "changed" of a --json run that succeeded; fails the test otherwise.
    bool changed(const QStringList &settings)
    {
        QByteArray out;
        const int code = run(u"set"_s, settings, &out);
        if (code != 0)
            qWarning("exit %d: %s", code, err.constData());
        return code == 0 && QJsonDocument::fromJson(out).object().value(u"changed"_s).toBool();
    }
};

// The lines of two texts that differ, by number from 1.
QList<int> differingLines(const QByteArray &a, const QByteArray &b)
{
    const QList<QByteArray> x = a.split('\n'), y = b.split('\n');
    QList<int> lines;
    for (qsizetype i = 0; i < std::max(x.size(), y.size()); ++i) {
        if (x.value(i) != y.value(i))
            lines << int(i + 1);
    }
    return lines;
}

} // namespace

class TestSettingsCommand : public QObject
{
    Q_OBJECT

private slots:
    void loaderAndCheckReadEachValueAlike()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(u"System"_s));
        QFile database(dir.filePath(u"System/prog.mdb"_s));
        QVERIFY(database.open(QIODevice::WriteOnly));
        // record, stored value, what the loader makes of it, what --check says ("" nothing).
        const QList<std::array<const char *, 4>> rows = {
            {"Timeout", "\"1e2\"", "timeout=100", ""},
            {"Timeout", "\" 12abc\"", "timeout=12", "reads as 12 seconds"},
            {"Timeout", "\"3000000000\"", "timeout=2", "too large"},
            {"Timeout", "\"x\"", "timeout=2", "is not a number of seconds"},
            {"Status", "1.0", "status=1", ""},
            {"Status", "\"2\"", "status=2", ""},
            {"XML-Export", "abc", "xml=0", "is not a number"},
            {"StaticConnect", "0.4", "static=0", ""},
            {"AutoConnectOff", "\"\"", "auto=1", "reads as #TRUE#"},
            {"AutoConnectOff", "", "auto=1", "reads as #TRUE#"}, // the record without a value
            {"AutoConnectOff", "#TRUE#", "auto=1", ""},
        };
        for (const auto &[record, stored, loaded, reason] : rows) {
            QByteArray text = kConfig;
            const QByteArray key = '"' + QByteArray(record) + '"';
            const qsizetype at = text.indexOf(key);
            const qsizetype end = text.indexOf("\r\n", at);
            text.replace(at, end - at, *stored ? key + ',' + stored : key);
            GatewayState s;
            Configuration::readInto(text, s);
            const QString got = QStringLiteral("timeout=%1 status=%2 xml=%3 static=%4 auto=%5")
                                    .arg(zelb::timeoutSeconds(s.edited.timeout).value_or(2))
                                    .arg(s.settings.statusReport)
                                    .arg(s.settings.xmlExport)
                                    .arg(s.settings.staticConnection.value())
                                    .arg(int(s.settings.autoConnectOff));
            QVERIFY2(got.contains(QLatin1String(loaded)),
                     qPrintable(got + u" for "_s + QLatin1String(stored)));
            const ConfigProblems problems =
                checkConfigurationContent(text, dir.filePath(u"Kavetta.zelb"_s), dir.path());
            QStringList said;
            for (const ConfigProblem &p : problems)
                said << p.reason;
            QVERIFY2(*reason ? said.filter(QLatin1String(reason)).size() == 1 : problems.isEmpty(),
                     qPrintable(QLatin1String(record) + u' ' + QLatin1String(stored) + u": "_s +
                                said.join(u" | ")));
        }
    }

    void setWritesWhatTheGatewayWritesRecordByRecord()
    {
        Instance in;
        // Each record and each option once, with a value other than the one it has.
        const QStringList records = {
            u"ServerPath="_s + in.dir.path(),
            u"Netid=10.1.2.3"_s,
            u"Port=851"_s,
            u"Modulname=Line7"_s,
            u"Maschinenname=Pr\u00fcfstand 7 \u20ac"_s,
            u"XML-Export=2"_s,
            u"RemoteHost=10.1.2.30"_s,
            u"RemotePort=9101"_s,
            u"ServerTest=1"_s,
            u"status=2.0"_s,
            u"Timeout=1e2"_s,
            u"StaticConnect=0"_s,
            u"ResetOnError=0"_s,
            u"UTF8Codierung=1"_s,
            u"AutoConnectOff=#TRUE#"_s,
        };
        for (int i = 0; i < records.size(); ++i) {
            const QByteArray before = readAll(in.zelb);
            QVERIFY2(in.changed({records[i]}), qPrintable(records[i]));
            const QByteArray after = readAll(in.zelb);
            QCOMPARE(differingLines(before, after), QList<int>{i + 1});
            // Byte for byte what the gateway's writer makes of what its reader reads.
            GatewayState s;
            Configuration::readInto(after, s);
            QCOMPARE(Configuration::serialize(s), after);
            QVERIFY(!in.changed({records[i]})); // the same again: nothing to do
        }
        QVERIFY(readAll(in.zelb).contains("\"Maschinenname\",\"Pr\xFC"
                                          "fstand 7 \x80\"\r\n\"XML-Export\",2\r\n"));
        QVERIFY(readAll(in.zelb).contains("\"Status\",2\r\n\"Timeout\",\"1e2\"\r\n"));
        QVERIFY(readAll(in.zelb).endsWith("\"AutoConnectOff\",#TRUE#\r\n"));

        const QStringList options = {
            u"safety.reportPeerFailures=true"_s, u"safety.answerTimeoutSec=5"_s,
            u"safety.answerTerminator=\\r\\n"_s, u"safety.answerFraming=terminator"_s,
            u"safety.answerMaxBytes=4096"_s,     u"safety.dropLateAnswers=yes"_s,
            u"safety.requirePrintData=on"_s,     u"safety.allowedPeers=10.1.2.0/24, fd00::/8"_s,
            u"Safety.MaxQueuedItems=50"_s,       u"journal.enabled=true"_s,
            u"journal.replayMaxAgeSec=60"_s,     u"status.port=9301"_s,
            u"status.address=0.0.0.0"_s,
        };
        const QByteArray example = readAll(in.ini);
        for (const QString &o : options) {
            const QByteArray before = readAll(in.ini);
            QVERIFY2(in.changed({o}), qPrintable(o));
            QCOMPARE(differingLines(before, readAll(in.ini)).size(), 1);
        }
        const InstanceOptions read = InstanceOptions::parse(readAll(in.ini), in.ini);
        QVERIFY(read.problems.isEmpty());
        QVERIFY(read.safety.reportPeerFailures && read.safety.answerTimeoutSec == 5 &&
                read.safety.answerFraming == AnswerFraming::Terminator &&
                read.safety.answerTerminator == "\r\n" && read.safety.answerMaxBytes == 4096 &&
                read.safety.dropLateAnswers && read.safety.requirePrintData &&
                read.safety.allowedPeers.size() == 2 && read.safety.maxQueuedItems == 50 &&
                read.journal.enabled && read.journal.replayMaxAgeSec == 60 && read.status.port == 9301 &&
                read.status.address == QHostAddress(u"0.0.0.0"_s));
        // The comments and the order stay: only the values' lines differ from the example.
        QCOMPARE(differingLines(example, readAll(in.ini)).size(), options.size());

        // get --json describes the instance so that apply takes it back unchanged; a description
        // that leaves options out puts them back to their defaults.
        QByteArray described;
        QCOMPARE(in.run(u"get"_s, {}, &described), 0);
        QFile file(in.dir.filePath(u"d.json"_s));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(described) > 0);
        file.close();
        QByteArray out;
        QCOMPARE(in.run(u"apply"_s, {file.fileName()}, &out), 0);
        QVERIFY2(!QJsonDocument::fromJson(out).object().value(u"changed"_s).toBool(), out.constData());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                file.write(R"({"configuration": {"RemotePort": 9102, "ServerTest": false},
                               "options": {"status": {"port": 9301}}})") > 0);
        file.close();
        QCOMPARE(in.run(u"apply"_s, {file.fileName()}, &out), 0);
        const QJsonObject result = QJsonDocument::fromJson(out).object();
        QCOMPARE(result.value(u"records"_s).toArray().toVariantList(),
                 (QVariantList{u"RemotePort"_s, u"ServerTest"_s}));
        QCOMPARE(result.value(u"options"_s).toArray().size(), options.size() - 1);
        QCOMPARE(differingLines(example, readAll(in.ini)), QList<int>{35}); // status.port
    }

    void refusesABadValueOrAFileNotWritableAndWritesNothing()
    {
        Instance in;
        // setting(s), what the refusal names
        const QList<QPair<QStringList, QString>> rows = {
            {{u"RemotePort=9101"_s, u"StaticConnect=5"_s}, u"StaticConnect: StaticConnect 5 is not 0 or 1"_s},
            {{u"RemoteHost=a\"b"_s}, u"RemoteHost: a value cannot hold a double quote"_s},
            {{u"Maschinenname=\u03a9"_s}, u"Windows-1252 does not have"_s},
            {{u"ServerPath=/no/such/folder"_s}, u"ServerPath: ServerPath resolves to /no/such/folder"_s},
            {{u"ServerTest=0"_s, u"RemoteHost="_s}, u"RemoteHost: RemoteHost is empty"_s},
            {{u"RemotPort=9100"_s}, u"RemotPort: no such setting (did you mean RemotePort?)"_s},
            {{u"status.port=9301"_s, u"status.port=70000"_s}, u"is not a whole number from 1 to 65535"_s},
            {{u"safety.answerFraming=terminator"_s}, u"needs an answerTerminator"_s},
            {{u"safety.allowedPeers=printer"_s}, u"no IPv4 or IPv6 address"_s},
        };
        const QByteArray zelb = readAll(in.zelb), ini = readAll(in.ini);
        for (const auto &[settings, reason] : rows) {
            QCOMPARE(in.run(u"set"_s, settings), 1);
            QVERIFY2(in.err.contains(reason.toUtf8()) && in.err.contains("nothing changed"),
                     in.err.constData());
            QVERIFY(readAll(in.zelb) == zelb && readAll(in.ini) == ini);
        }
        // A dry run says what would change and writes nothing.
        QByteArray out;
        QCOMPARE(in.run(u"set"_s, {u"--dry-run"_s, u"RemotePort=9101"_s}, &out), 0);
        QVERIFY(QJsonDocument::fromJson(out).object().value(u"changed"_s).toBool());
        QVERIFY(readAll(in.zelb) == zelb && readAll(in.ini) == ini);
        QCOMPARE(QDir(in.dir.path()).entryList(QDir::Files),
                 (QStringList{u"Kavetta.ini"_s, u"Kavetta.zelb"_s}));

        QVERIFY(QFile::setPermissions(in.zelb, QFile::ReadOwner | QFile::ReadGroup));
        // Neither file changes when one of them cannot be written; the other alone can be.
        QCOMPARE(in.run(u"set"_s, {u"RemotePort=9101"_s, u"status.port=9301"_s}), 3);
        QVERIFY2(in.err.contains("Kavetta.zelb is not writable; nothing changed"), in.err.constData());
        QVERIFY(readAll(in.zelb) == zelb && readAll(in.ini) == ini);
        QVERIFY(in.changed({u"status.port=9301"_s}));
        QVERIFY(!in.changed({u"RemotePort=9100"_s})); // already so: nothing to write
        QVERIFY(QFile::setPermissions(in.ini, QFile::ReadOwner));
        QCOMPARE(in.run(u"set"_s, {u"status.port=9302"_s}), 3);
        QVERIFY(readAll(in.ini).contains("port = 9301\n"));
        QCOMPARE(in.run(u"set"_s, {u"status.port=9302"_s, u"Status=x"_s}), 1); // refused before anything
    }

    void changesAtOnceEachTakeEffectWhole()
    {
        Instance in;
        // Eight programs at once, each changing a record and an option of its own: none of the
        // eight is lost to another's read of the old file, and each file is whole.
        const QStringList records = {
            u"RemotePort=9101"_s, u"RemoteHost=10.0.0.1"_s, u"Port=851"_s,   u"Netid=10.0.0.2"_s,
            u"Modulname=L2"_s,    u"Maschinenname=M2"_s,    u"Timeout=20"_s, u"Status=2"_s};
        const QStringList options = {
            u"status.port=9301"_s,          u"safety.answerTimeoutSec=7"_s,   u"safety.maxQueuedItems=9"_s,
            u"journal.enabled=true"_s,      u"safety.dropLateAnswers=true"_s, u"safety.answerMaxBytes=999"_s,
            u"journal.replayMaxAgeSec=3"_s, u"safety.requirePrintData=true"_s};
        std::vector<std::unique_ptr<QProcess>> runs;
        runs.reserve(records.size());
        for (int i = 0; i < records.size(); ++i)
            runs.emplace_back(in.start({u"set"_s, in.zelb, records[i], options[i]}));
        for (auto &p : runs)
            QVERIFY(p->waitForFinished(20000) && p->exitCode() == 0);
        GatewayState s;
        Configuration::readInto(readAll(in.zelb), s);
        QCOMPARE((QStringList{s.edited.remotePort, s.edited.remoteHost, s.edited.plcPort, s.edited.plcNetId,
                              s.edited.moduleName, s.edited.machineName, s.edited.timeout,
                              QString::number(s.settings.statusReport)}),
                 (QStringList{u"9101"_s, u"10.0.0.1"_s, u"851"_s, u"10.0.0.2"_s, u"L2"_s, u"M2"_s, u"20"_s,
                              u"2"_s}));
        QCOMPARE(Configuration::serialize(s), readAll(in.zelb));
        const InstanceOptions o = InstanceOptions::parse(readAll(in.ini), in.ini);
        QVERIFY(o.problems.isEmpty() && o.status.port == 9301 && o.safety.answerTimeoutSec == 7 &&
                o.safety.maxQueuedItems == 9 && o.journal.enabled && o.safety.dropLateAnswers &&
                o.safety.answerMaxBytes == 999 && o.journal.replayMaxAgeSec == 3 &&
                o.safety.requirePrintData);
        QCOMPARE(QDir(in.dir.path()).entryList(QDir::Files),
                 (QStringList{u"Kavetta.ini"_s, u"Kavetta.zelb"_s}));
    }
};

QTEST_GUILESS_MAIN(TestSettingsCommand)
#include "TestSettingsCommand.moc"
