#include "startup/ConfigCheck.h"

#include "common/Cp1252.h"
#include "common/NearestName.h"
#include "config/ConfigRecords.h"
#include "config/InstanceOptions.h"
#include "config/ProgramPaths.h"
#include "plclink/ModbusLink.h"
#include "plclink/PlcLinkFactory.h"
#include "plclink/PlcProtocol.h"
#include "plclink/VariableMap.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace
{

using Severity = ConfigProblem::Severity;

using zelb::Kind;

// What the gateway does with an on/off box that reads as checked.
QLatin1String whenChecked(const char *record)
{
    const QLatin1String name(record);
    if (name == QLatin1String("ServerTest"))
        return QLatin1String("it waits for the peer to connect (server role)");
    if (name == QLatin1String("StaticConnect"))
        return QLatin1String("it keeps the connection to the peer between requests");
    if (name == QLatin1String("ResetOnError"))
        return QLatin1String("a socket error drops the request in progress");
    return QLatin1String("it sends the text as UTF-8");
}

struct Value {
    QString text;
    int line = 0;
};

class Checker
{
public:
    Checker(const QString &configFile, const QString &programFolder)
        : m_config(configFile), m_programFolder(programFolder)
    {
    }

    CheckReport run();
    // The configuration file's records and values only, from content given.
    ConfigProblems checkContent(const QByteArray &content);

private:
    void add(const QString &file, int line, const QString &reason, Severity severity = Severity::Error)
    {
        m_report.problems.append({file, line, reason, severity});
    }
    void config(int line, const QString &reason, Severity severity = Severity::Error)
    {
        add(m_config, line, reason, severity);
    }

    void readRecords(const QByteArray &content);
    void warnIfUtf8(const QByteArray &content);
    void checkValues();
    void checkPort(const char *key, bool required);
    void checkServerPath();
    void checkLabels();
    void checkOptions();
    void checkMap();

    QString value(const char *key) const { return m_values.value(QLatin1String(key)).text; }
    int lineOf(const char *key) const { return m_values.value(QLatin1String(key)).line; }
    bool has(const char *key) const { return m_values.contains(QLatin1String(key)); }
    // ServerTest as the gateway reads it: 1, and 2 (a grayed box), are on.
    bool serverRole() const
    {
        const auto v = zelb::integer(value("ServerTest"));
        return v && (*v == 1 || *v == 2);
    }

    QString m_config;
    QString m_programFolder;
    QHash<QString, Value> m_values;
    CheckReport m_report;
};

void Checker::readRecords(const QByteArray &content)
{
    QStringList names;
    for (const zelb::RecordInfo &r : zelb::records())
        names << QLatin1String(r.name);
    warnIfUtf8(content);
    for (const zelb::Line &line : zelb::readLines(content)) {
        const int number = line.number;
        const QString &key = line.name.text;
        if (line.name.quoted && !line.name.closed) {
            config(number, QStringLiteral("the record name has no closing quote"));
            continue;
        }
        if (!names.contains(key)) {
            const QString near = nearestName(key, names);
            config(number,
                   near.isEmpty()
                       ? QStringLiteral("unknown record \"%1\"; it is not used").arg(key)
                       : QStringLiteral("unknown record \"%1\" (did you mean \"%2\"?); it is not used")
                             .arg(key, near));
            continue;
        }
        if (!line.hasValue) {
            // The gateway takes the record with an empty value.
            config(number, QStringLiteral("%1 has no value: a record is \"%1\",value").arg(key));
        } else if (!line.value.closed) {
            config(number,
                   QStringLiteral("the value of %1 has no closing quote; it reads as %2 up to the line end")
                       .arg(key, line.value.text));
        } else if (!line.value.after.isEmpty()) {
            config(
                number,
                QStringLiteral("\"%1\" after the closing quote of %2 is not read").arg(line.value.after, key),
                Severity::Warning);
        }
        if (line.more)
            config(number,
                   QStringLiteral("%1 has more than two fields; \"%2\" is not read").arg(key, line.rest),
                   Severity::Warning);
        if (const auto earlier = m_values.constFind(key); earlier != m_values.constEnd())
            config(number,
                   QStringLiteral("%1 again (first in line %2): this line holds").arg(key).arg(earlier->line),
                   Severity::Warning);
        m_values.insert(key, {line.valueText(), number});
    }
}

void Checker::warnIfUtf8(const QByteArray &content)
{
    // Pure ASCII reads the same either way; bytes that form valid UTF-8 sequences are almost
    // never meant as Windows-1252 pairs like "Ã¼".
    const qsizetype first =
        std::find_if(content.cbegin(), content.cend(), [](char c) { return c & 0x80; }) - content.cbegin();
    if (first >= content.size())
        return;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString asUtf8 = utf8.decode(content);
    if (utf8.hasError())
        return;
    const int line = int(content.left(first).count('\n')) + 1;
    const qsizetype start = content.lastIndexOf('\n', first) + 1;
    const qsizetype end = content.indexOf('\n', first);
    const QByteArray raw = content.mid(start, (end < 0 ? content.size() : end) - start).trimmed();
    config(line,
           QStringLiteral("the file reads as UTF-8, but the gateway reads Windows-1252: %1 becomes %2; "
                          "save it as Windows-1252 (ANSI)")
               .arg(QString::fromUtf8(raw), cp1252::decode(raw)),
           Severity::Warning);
}

void Checker::checkPort(const char *key, bool required)
{
    const QString text = value(key).trimmed();
    if (text.isEmpty()) {
        if (required)
            config(
                lineOf(key),
                QStringLiteral("%1 is empty: the gateway has no port for the peer").arg(QLatin1String(key)));
        return;
    }
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        config(
            lineOf(key),
            QStringLiteral("%1 \"%2\" is not a port number from 1 to 65535").arg(QLatin1String(key), text));
}

void Checker::checkValues()
{
    for (const zelb::RecordInfo &r : zelb::records()) {
        if (!has(r.name) || r.kind == Kind::Text)
            continue;
        const QString key = QLatin1String(r.name);
        const QString text = value(r.name).trimmed();
        const int line = lineOf(r.name);
        if (r.kind == Kind::Boolean) {
            if (!zelb::boolean(text))
                config(line,
                       QStringLiteral("%1 \"%2\" is not #TRUE# or #FALSE#; it reads as #TRUE#: the static "
                                      "connection is not made again by itself")
                           .arg(key, text));
            continue;
        }
        const int max = r.kind == Kind::Box1 ? 1 : 2;
        // Read as the gateway reads it: a number, rounded half to even.
        const auto v = zelb::integer(text);
        if (!v)
            config(
                line,
                QStringLiteral("%1 \"%2\" is not a number; the check box keeps its default").arg(key, text));
        else if (r.kind == Kind::Box1 && *v == 2)
            // The window shows a 2 grayed; a load and a save keep it, and the cycles take it as checked.
            config(line,
                   QStringLiteral("%1 %2 is a grayed check box; the gateway reads it as checked: %3")
                       .arg(key, text, whenChecked(r.name)),
                   Severity::Warning);
        else if (*v < 0 || *v > max)
            config(line,
                   QStringLiteral("%1 %2 is not %3")
                       .arg(key, text, max == 1 ? QStringLiteral("0 or 1") : QStringLiteral("0, 1 or 2")));
    }

    const bool server = serverRole();
    if (value("Modulname").isEmpty())
        config(lineOf("Modulname"),
               QStringLiteral("no module name (Modulname): the gateway runs with the empty "
                              "configuration and reaches no PLC variables"));
    else if (value("Modulname").contains(QRegularExpression(QStringLiteral("[\\s.]"))))
        config(lineOf("Modulname"),
               QStringLiteral("Modulname \"%1\" holds a blank or a dot; the PLC variables are "
                              "named <module>.anford")
                   .arg(value("Modulname")),
               Severity::Warning);
    checkPort("RemotePort", true);
    if (!server && value("RemoteHost").trimmed().isEmpty())
        config(lineOf("RemoteHost"),
               QStringLiteral("RemoteHost is empty: in the client role the gateway has no peer "
                              "to connect to"));

    if (!server) {
        checkPort("Port", false);
        const bool modbus = QFileInfo::exists(plcMapFileFor(m_config));
        QHostAddress address;
        quint16 port = 0;
        const bool target = TargetedLink::parseTarget(
            value("Netid"), value("Port"), modbus ? ModbusLink::DefaultPort : plcproto::DefaultPort, address,
            port);
        if (!target)
            config(lineOf("Netid"),
                   QStringLiteral("Netid \"%1\" is not an IPv4 or IPv6 address (names are not "
                                  "looked up): the PLC link has no target")
                       .arg(value("Netid")));
    }

    // Read as the gateway reads it: the leading number, exponent included, rounded half to even.
    const QString timeout = value("Timeout").trimmed();
    qsizetype length = 0;
    const double seconds = zelb::leadingNumber(timeout, &length);
    const QString taken = timeout.left(length);
    if (!timeout.isEmpty() && length == 0)
        config(lineOf("Timeout"),
               QStringLiteral("Timeout \"%1\" is not a number of seconds; 2 seconds hold").arg(timeout));
    else if (length > 0 && !zelb::timeoutSeconds(timeout))
        config(lineOf("Timeout"),
               QStringLiteral("Timeout \"%1\" is too large: the gateway does not take it").arg(timeout));
    else if (length > 0 && length < timeout.size())
        config(lineOf("Timeout"), QStringLiteral("Timeout \"%1\" reads as %2 seconds").arg(timeout, taken),
               Severity::Warning);
    else if (length > 0 && std::nearbyint(seconds) < 2.0)
        config(lineOf("Timeout"),
               QStringLiteral("Timeout %1 is below 2 seconds; 2 seconds hold").arg(timeout),
               Severity::Warning);
}

void Checker::checkServerPath()
{
    const QString stored = value("ServerPath");
    if (stored.contains(QLatin1String("Provider"), Qt::CaseInsensitive))
        return; // a database connection string, not a folder
    QString root = QFileInfo(m_config).absolutePath();
    const bool underServer = root.right(7).toUpper() == QLatin1String("/SERVER");
    QString serverPath;
    if (stored.contains(QLatin1String("~apppath~"))) {
        if (!underServer) {
            config(lineOf("ServerPath"),
                   QStringLiteral(
                       "~apppath~ resolves to nowhere: it stands for the folder above the configuration "
                       "file's folder Server, and %1 is not in a folder named Server")
                       .arg(m_config));
            return;
        }
        root.chop(7);
        serverPath = QString(stored).replace(QLatin1String("~apppath~"), root);
        if (!serverPath.startsWith(QLatin1Char('/')))
            serverPath = root + serverPath; // as the gateway joins them: without a separator
    } else if (stored.isEmpty()) {
        serverPath = m_programFolder;
        if (serverPath.right(7).toUpper() == QLatin1String("/SERVER"))
            serverPath.remove(QStringLiteral("/SERVER"), Qt::CaseInsensitive);
    } else {
        serverPath = QFileInfo(stored).isRelative() && underServer ? root.chopped(7) + stored : stored;
    }
    if (!QFileInfo(serverPath).isDir()) {
        config(lineOf("ServerPath"),
               QStringLiteral("ServerPath resolves to %1, which is no folder: print data cannot be read")
                   .arg(serverPath));
        return;
    }
    const QString database = serverPath + QStringLiteral("/System/prog.mdb");
    if (!QFileInfo(database).isFile())
        add(database, 0, QStringLiteral("no print data database: \"/SetLabel\" requests find no print data"),
            Severity::Warning);
}

void Checker::checkLabels()
{
    const QString folder = m_programFolder + QStringLiteral("/Labels");
    if (!QFileInfo(folder).isDir()) {
        add(folder, 0, QStringLiteral("no Labels folder: \"/SetLabel\" and \"/SetJob\" requests fail"),
            Severity::Warning);
        return;
    }
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo &info : files) {
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            add(info.filePath(), 0, QStringLiteral("cannot be read (%1)").arg(file.errorString()));
            continue;
        }
        QDomDocument document;
        QString reason;
        int line = 0, column = 0;
        if (!document.setContent(file.readAll(), &reason, &line, &column))
            add(info.filePath(), line,
                QStringLiteral("the template does not parse: %1 (column %2)").arg(reason).arg(column));
    }
    if (!QFileInfo(folder + QStringLiteral("/defaultLabel.xml")).isFile())
        add(folder, 0, QStringLiteral("no defaultLabel.xml: \"/SetLabel\" without a template name fails"),
            Severity::Warning);
}

void Checker::checkOptions()
{
    for (const ConfigProblem &p : InstanceOptions::load(m_config).problems)
        m_report.problems.append(p);
}

void Checker::checkMap()
{
    const QString mapFile = plcMapFileFor(m_config);
    if (!QFileInfo::exists(mapFile))
        return;
    modbusmap::VariableMap map;
    QString first;
    map.load(mapFile, first);
    m_report.problems.append(map.problems());
    const QString module = value("Modulname");
    if (!map.problems().isEmpty() || module.isEmpty() || serverRole())
        return;
    for (const char *suffix :
         {".anford", ".SendData", ".ConnectStatus", ".RecData", ".antwort", ".anfordErr", ".anfordErrText"}) {
        const QString name = module + QLatin1String(suffix);
        if (!map.find(name))
            add(mapFile, 0, QStringLiteral("no variable %1: the PLC link cannot reach it").arg(name));
    }
}

ConfigProblems Checker::checkContent(const QByteArray &content)
{
    readRecords(content);
    checkValues();
    checkServerPath();
    return m_report.problems;
}

CheckReport Checker::run()
{
    m_report.configFile = m_config;
    QFile file(m_config);
    if (!file.open(QIODevice::ReadOnly)) {
        config(0, QStringLiteral("cannot be read (%1): the gateway would run with the empty configuration")
                      .arg(file.errorString()));
    } else {
        readRecords(file.read(16LL * 1024 * 1024));
        checkValues();
        checkServerPath();
    }
    checkOptions();
    checkMap();
    checkLabels();
    // File by file in the order first met, each by line.
    QStringList files;
    for (const ConfigProblem &p : std::as_const(m_report.problems))
        if (!files.contains(p.file))
            files << p.file;
    std::stable_sort(m_report.problems.begin(), m_report.problems.end(),
                     [&files](const ConfigProblem &a, const ConfigProblem &b) {
                         return std::pair(files.indexOf(a.file), a.line) <
                                std::pair(files.indexOf(b.file), b.line);
                     });
    return m_report;
}

} // namespace

int CheckReport::count(ConfigProblem::Severity severity) const
{
    return int(std::count_if(problems.cbegin(), problems.cend(),
                             [severity](const ConfigProblem &p) { return p.severity == severity; }));
}

QString CheckReport::text() const
{
    QString out;
    for (const ConfigProblem &p : problems) {
        out += p.file + (p.line > 0 ? QStringLiteral(":%1").arg(p.line) : QString()) +
               (p.isError() ? QStringLiteral(": error: ") : QStringLiteral(": warning: ")) + p.reason +
               QLatin1Char('\n');
    }
    const int errors = count(Severity::Error), warnings = count(Severity::Warning);
    const auto plural = [](int n, const char *word) {
        return QStringLiteral("%1 %2%3").arg(n).arg(QLatin1String(word)).arg(n == 1 ? "" : "s");
    };
    out += problems.isEmpty() ? QStringLiteral("%1: no problems found\n").arg(configFile)
                              : QStringLiteral("%1: %2, %3\n")
                                    .arg(configFile, plural(errors, "error"), plural(warnings, "warning"));
    return out;
}

QByteArray CheckReport::json() const
{
    QJsonArray list;
    for (const ConfigProblem &p : problems)
        list.append(QJsonObject{
            {QStringLiteral("file"), p.file},
            {QStringLiteral("line"), p.line},
            {QStringLiteral("severity"), p.isError() ? QStringLiteral("error") : QStringLiteral("warning")},
            {QStringLiteral("reason"), p.reason}});
    return QJsonDocument(QJsonObject{{QStringLiteral("configuration"), configFile},
                                     {QStringLiteral("clean"), clean()},
                                     {QStringLiteral("errors"), count(Severity::Error)},
                                     {QStringLiteral("warnings"), count(Severity::Warning)},
                                     {QStringLiteral("problems"), list}})
        .toJson(QJsonDocument::Indented);
}

ConfigProblems checkConfigurationContent(const QByteArray &content, const QString &configFile,
                                         const QString &programFolder)
{
    return Checker(configFile, programFolder).checkContent(content);
}

CheckReport checkInstance(const QString &configFile, const QString &programFolder)
{
    return Checker(configFile, programFolder).run();
}

int runConfigCheck(const QStringList &arguments, FILE *out)
{
    bool json = false;
    QString config;
    for (const QString &a : arguments) {
        if (a == QLatin1String("--json")) {
            json = true;
        } else if (config.isEmpty() && !a.startsWith(QLatin1String("--"))) {
            config = a;
        } else {
            std::fprintf(stderr, "kavetta --check: unexpected argument %s\n", qPrintable(a));
            return 2;
        }
    }
    // A configuration named by path is checked as the instance whose folder holds it, as the
    // service runs it (KAVETTA_HOME is that folder), unless KAVETTA_HOME names another.
    QString folder = programFolder();
    if (config.isEmpty()) {
        config = folder + QStringLiteral("/Kavetta.zelb");
    } else if (qEnvironmentVariableIsEmpty("KAVETTA_HOME")) {
        folder = QFileInfo(config).absolutePath();
    } else if (QFileInfo(config).absolutePath() != QFileInfo(folder).absoluteFilePath()) {
        std::fprintf(stderr, "kavetta --check: program folder %s (KAVETTA_HOME), not the folder of %s\n",
                     qPrintable(folder), qPrintable(config));
    }
    const CheckReport report = checkInstance(QFileInfo(config).absoluteFilePath(), folder);
    const QByteArray text = json ? report.json() : report.text().toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), out);
    std::fflush(out);
    return report.clean() ? 0 : 1;
}
