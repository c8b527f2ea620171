#include "startup/SettingsCommand.h"

#include "common/Cp1252.h"
#include "common/GatewayState.h"
#include "common/NearestName.h"
#include "config/ConfigRecords.h"
#include "config/Configuration.h"
#include "config/InstanceOptions.h"
#include "config/OptionsText.h"
#include "startup/ConfigCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

enum Exit { Done = 0, Refused = 1, Usage = 2, FileError = 3 };

struct Change {
    QString name; // as given
    QString value;
};

struct Outcome {
    QStringList refused; // "<setting>: <reason>"
    QStringList warnings;
    QStringList records, options; // what changed
    QByteArray config, optionsFile;
    bool configChanged = false, optionsChanged = false;
};

QByteArray readFile(const QString &path, qint64 max, bool &ok)
{
    QFile file(path);
    if (!file.exists()) {
        ok = true;
        return {};
    }
    ok = file.open(QIODevice::ReadOnly);
    return ok ? file.read(max) : QByteArray();
}

// The index of a record in zelb::records(), its name in any letter case; -1 for none.
int recordIndex(const QString &name)
{
    for (int i = 0; i < zelb::records().size(); ++i) {
        if (name.compare(QLatin1String(zelb::records()[i].name), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QStringList recordNames()
{
    QStringList names;
    for (const zelb::RecordInfo &r : zelb::records())
        names << QLatin1String(r.name);
    return names;
}

QStringList optionNames()
{
    QStringList names;
    for (const auto &o : OptionsText::defaults())
        names << o.first;
    return names;
}

// A problem as a set of problems compares it: without the line numbers it names.
QString problemKey(const ConfigProblem &p)
{
    static const QRegularExpression line(QStringLiteral("line \\d+"));
    return QString(p.reason).replace(line, QStringLiteral("line"));
}

QSet<QString> errorKeys(const ConfigProblems &problems)
{
    QSet<QString> keys;
    for (const ConfigProblem &p : problems) {
        if (p.isError())
            keys.insert(problemKey(p));
    }
    return keys;
}

// The records as the gateway's writer writes them, one per line, without line ends.
QStringList writtenLines(const QByteArray &content)
{
    GatewayState state;
    Configuration::readInto(content, state);
    QStringList lines = cp1252::decode(Configuration::serialize(state)).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

// The value of a written record line as "set" takes it: text records without their quotes.
QString shownValue(const QString &line)
{
    QString value = line.section(QLatin1Char(','), 1);
    if (value.startsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
    return value;
}

void changeConfiguration(const QString &configFile, const QString &folder, const QByteArray &old,
                         const QList<Change> &changes, Outcome &o)
{
    const QStringList before = writtenLines(old);
    QStringList lines = before;
    QSet<int> touched; // indexes into lines
    for (const Change &c : changes) {
        const int index = recordIndex(c.name);
        const zelb::RecordInfo &info = zelb::records()[index];
        const QString name = QLatin1String(info.name);
        const bool text = info.kind == zelb::Kind::Text;
        QString why;
        if (c.value.contains(QLatin1Char('"')))
            why = QStringLiteral("a value cannot hold a double quote");
        else if (c.value.contains(QLatin1Char('\r')) || c.value.contains(QLatin1Char('\n')))
            why = QStringLiteral("a value cannot hold a line break");
        else if (!text && c.value.contains(QLatin1Char(',')))
            why = QStringLiteral("a value cannot hold a comma");
        else if (cp1252::decode(cp1252::encode(c.value)) != c.value)
            why = QStringLiteral("\"%1\" holds characters that Windows-1252 does not have").arg(c.value);
        if (!why.isEmpty()) {
            o.refused << name + QStringLiteral(": ") + why;
            continue;
        }
        lines[index] = zelb::recordLine(name, text ? QLatin1Char('"') + c.value + QLatin1Char('"') : c.value);
        touched.insert(index);
    }
    if (!o.refused.isEmpty())
        return;
    const QByteArray candidate = cp1252::encode(lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));

    // What the check finds in the changed file and did not find before is refused.
    const QSet<QString> known = errorKeys(checkConfigurationContent(old, configFile, folder));
    for (const ConfigProblem &p : checkConfigurationContent(candidate, configFile, folder)) {
        const bool mine = p.line >= 1 && touched.contains(p.line - 1);
        const QString record = p.line >= 1 && p.line <= zelb::records().size()
                                   ? QLatin1String(zelb::records()[p.line - 1].name)
                                   : QFileInfo(p.file).fileName();
        if (p.isError() && !known.contains(problemKey(p)))
            o.refused << record + QStringLiteral(": ") + p.reason;
        else if (!p.isError() && mine)
            o.warnings << record + QStringLiteral(": ") + p.reason;
    }
    if (!o.refused.isEmpty())
        return;
    // Read back and written once more by the gateway's own reader and writer.
    GatewayState state;
    Configuration::readInto(candidate, state);
    o.config = Configuration::serialize(state);
    o.configChanged = o.config != old;
    const QStringList after = writtenLines(o.config);
    for (int i = 0; i < after.size(); ++i) {
        if (after[i] != before.value(i))
            o.records << QLatin1String(zelb::records()[i].name);
    }
}

void changeOptions(const QString &optionsFile, const QByteArray &old, const QList<Change> &changes,
                   bool resetOthers, Outcome &o)
{
    OptionsText text(old);
    QSet<QString> given;
    for (const Change &c : changes) {
        const QString name = OptionsText::canonicalName(c.name);
        given.insert(name);
        const QString before = text.value(name);
        QString why;
        if (!text.set(name, c.value, why))
            o.refused << name + QStringLiteral(": ") + c.value + QLatin1Char(' ') + why;
        else if (text.value(name) != before)
            o.options << name;
    }
    if (resetOthers) {
        for (const auto &d : OptionsText::defaults()) {
            bool present = false;
            const QString current = text.value(d.first, &present);
            QString why;
            if (!given.contains(d.first) && present && current != d.second &&
                text.set(d.first, d.second, why))
                o.options << d.first;
        }
    }
    if (!o.refused.isEmpty())
        return;
    const QByteArray candidate = text.content();
    QSet<QString> known;
    for (const ConfigProblem &p : InstanceOptions::parse(old, optionsFile).problems)
        known.insert(problemKey(p));
    const QList<int> changed = text.changedLines();
    for (const ConfigProblem &p : InstanceOptions::parse(candidate, optionsFile).problems) {
        if (changed.contains(p.line) || !known.contains(problemKey(p)))
            o.refused << QStringLiteral("options: ") + p.reason;
    }
    o.optionsFile = candidate;
    o.optionsChanged = candidate != old;
}

// Written aside and renamed over the old file; the owner and mode of the old file stay.
bool writeFile(const QString &path, const QByteArray &content, QString &why)
{
    struct stat old {
    };
    const bool existed = ::stat(QFile::encodeName(path).constData(), &old) == 0;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        why = file.errorString();
        return false;
    }
    if (existed && ::geteuid() == 0) {
        // Run as root for an instance of the service's user: the file stays that user's.
        if (::chown(QFile::encodeName(path).constData(), old.st_uid, old.st_gid) != 0)
            why = QStringLiteral("cannot keep the owner");
    }
    return true;
}

// A file the change would write, that the change must not write: read-only by its mode (root
// included) or by access, or in a folder where no file can be put aside.
QString notWritable(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {
    };
    if (::stat(native.constData(), &st) == 0 &&
        ((st.st_mode & 0222) == 0 || ::access(native.constData(), W_OK) != 0))
        return QStringLiteral("%1 is not writable").arg(path);
    const QString folder = QFileInfo(path).absolutePath();
    if (::access(QFile::encodeName(folder).constData(), W_OK) != 0)
        return QStringLiteral("the folder %1 is not writable").arg(folder);
    return {};
}

QString jsonText(const QJsonValue &v)
{
    if (v.isBool())
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (v.isDouble()) {
        const double d = v.toDouble();
        return d == double(qint64(d)) ? QString::number(qint64(d)) : QString::number(d, 'g', 17);
    }
    return v.toString();
}

// The changes a description asks for; false with why when it is not one.
bool readDescription(const QByteArray &content, QList<Change> &changes, QString &why)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(content, &error);
    if (!doc.isObject()) {
        why = error.error != QJsonParseError::NoError ? error.errorString()
                                                      : QStringLiteral("not a JSON object");
        return false;
    }
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        if (it.key() != QLatin1String("configuration") && it.key() != QLatin1String("options")) {
            why = QStringLiteral("unknown member \"%1\" (known: configuration, options)").arg(it.key());
            return false;
        }
        if (!it.value().isObject()) {
            why = QStringLiteral("\"%1\" is not an object").arg(it.key());
            return false;
        }
    }
    const QJsonObject records = root.value(QLatin1String("configuration")).toObject();
    for (auto it = records.begin(); it != records.end(); ++it) {
        QString value = jsonText(it.value());
        const int index = recordIndex(it.key());
        const zelb::RecordInfo *info = index < 0 ? nullptr : &zelb::records()[index];
        if (info && it.value().isBool() && info->kind == zelb::Kind::Boolean)
            value = it.value().toBool() ? QStringLiteral("#TRUE#") : QStringLiteral("#FALSE#");
        else if (info && it.value().isBool())
            value = it.value().toBool() ? QStringLiteral("1") : QStringLiteral("0");
        changes.append({it.key(), value});
    }
    const QJsonObject options = root.value(QLatin1String("options")).toObject();
    for (auto it = options.begin(); it != options.end(); ++it) {
        if (!it.value().isObject()) {
            changes.append({it.key(), jsonText(it.value())});
            continue;
        }
        const QJsonObject group = it.value().toObject();
        for (auto key = group.begin(); key != group.end(); ++key)
            changes.append({it.key() + QLatin1Char('.') + key.key(), jsonText(key.value())});
    }
    return true;
}

QJsonObject description(const QByteArray &config, const QByteArray &options)
{
    QJsonObject records, values;
    const QStringList lines = writtenLines(config);
    for (int i = 0; i < lines.size(); ++i)
        records.insert(QLatin1String(zelb::records()[i].name), shownValue(lines[i]));
    const OptionsText text(options);
    for (const auto &d : OptionsText::defaults())
        values.insert(d.first, text.value(d.first));
    return {{QStringLiteral("configuration"), records}, {QStringLiteral("options"), values}};
}

void print(FILE *to, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}

// Holds an exclusive lock on a folder for as long as it lives.
class FolderLock
{
public:
    explicit FolderLock(const QString &folder)
        : m_fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        m_locked = m_fd >= 0 && ::flock(m_fd, LOCK_EX) == 0;
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    bool locked() const { return m_locked; }

private:
    int m_fd;
    bool m_locked = false;
};

} // namespace

int runSettingsCommand(const QStringList &arguments, FILE *out, FILE *err)
{
    const auto usage = [err] {
        print(err, QStringLiteral("usage: kavetta --settings get [--json] CONFIG\n"
                                  "       kavetta --settings set [--json] CONFIG NAME=VALUE...\n"
                                  "       kavetta --settings apply [--json] CONFIG DESCRIPTION.json\n"));
        return Usage;
    };
    QStringList args = arguments;
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    const bool dryRun = args.removeAll(QStringLiteral("--dry-run")) > 0;
    if (args.size() < 2)
        return usage();
    const QString verb = args.takeFirst();
    const QString configFile = QFileInfo(args.takeFirst()).absoluteFilePath();
    const QString optionsFile = InstanceOptions::fileFor(configFile);
    const QString folder = QFileInfo(configFile).absolutePath();
    const bool get = verb == QLatin1String("get"), apply = verb == QLatin1String("apply");
    if ((get && !args.isEmpty()) || (apply && args.size() != 1) ||
        (verb == QLatin1String("set") && args.isEmpty()) || (!get && !apply && verb != QLatin1String("set")))
        return usage();
    const auto fail = [err](Exit code, const QString &text) {
        print(err, QStringLiteral("kavetta --settings: %1\n").arg(text));
        return code;
    };
    if (!QFileInfo(configFile).isFile())
        return fail(FileError, QStringLiteral("%1: no such configuration file").arg(configFile));

    // The folder's lock spans the reading and the writing, so that a second change reads what the
    // first wrote.
    const FolderLock lock(folder);
    if (!lock.locked())
        return fail(FileError, QStringLiteral("cannot lock the folder %1").arg(folder));
    bool ok = false;
    const QByteArray oldConfig = readFile(configFile, zelb::MaxBytes, ok);
    if (!ok)
        return fail(FileError, QStringLiteral("%1 cannot be read").arg(configFile));
    const QByteArray oldOptions = readFile(optionsFile, qint64(1024) * 1024, ok);
    if (!ok)
        return fail(FileError, QStringLiteral("%1 cannot be read").arg(optionsFile));

    if (get) {
        const QJsonObject d = description(oldConfig, oldOptions);
        if (json) {
            print(out, QString::fromUtf8(QJsonDocument(d).toJson(QJsonDocument::Indented)));
            return Done;
        }
        QString text;
        for (const QString &part : {QStringLiteral("configuration"), QStringLiteral("options")}) {
            const QJsonObject values = d.value(part).toObject();
            const QStringList order = part == QLatin1String("options") ? optionNames() : recordNames();
            for (const QString &name : order)
                text += name + QLatin1Char('=') + values.value(name).toString() + QLatin1Char('\n');
        }
        print(out, text);
        return Done;
    }

    QList<Change> changes;
    if (apply) {
        bool read = false;
        QByteArray content;
        if (args.first() == QLatin1String("-")) {
            QFile in;
            read = in.open(stdin, QIODevice::ReadOnly);
            content = in.readAll();
        } else {
            content = readFile(args.first(), qint64(1024) * 1024, read);
            read = read && QFileInfo(args.first()).isFile();
        }
        QString why;
        if (!read)
            return fail(FileError, QStringLiteral("%1 cannot be read").arg(args.first()));
        if (!readDescription(content, changes, why))
            return fail(Refused, QStringLiteral("%1: %2; nothing changed").arg(args.first(), why));
    } else {
        for (const QString &a : std::as_const(args)) {
            const qsizetype eq = a.indexOf(QLatin1Char('='));
            if (eq <= 0)
                return usage();
            changes.append({a.left(eq), a.mid(eq + 1)});
        }
    }

    // Each name is a record or an option; anything else is refused with the nearest name.
    const QStringList names = recordNames() + optionNames();
    QList<Change> recordChanges, optionChanges;
    Outcome o;
    for (const Change &c : std::as_const(changes)) {
        if (recordIndex(c.name) >= 0) {
            recordChanges << c;
        } else if (!OptionsText::canonicalName(c.name).isEmpty()) {
            optionChanges << c;
        } else {
            const QString near = nearestName(c.name, names);
            o.refused << QStringLiteral("%1: no such setting%2")
                             .arg(c.name, near.isEmpty() ? QString()
                                                         : QStringLiteral(" (did you mean %1?)").arg(near));
        }
    }
    if (o.refused.isEmpty() && !recordChanges.isEmpty())
        changeConfiguration(configFile, qEnvironmentVariable("KAVETTA_HOME", folder), oldConfig,
                            recordChanges, o);
    if (o.refused.isEmpty() && (!optionChanges.isEmpty() || apply))
        changeOptions(optionsFile, oldOptions, optionChanges, apply, o);
    if (!o.refused.isEmpty())
        return fail(Refused, o.refused.join(QStringLiteral("\nkavetta --settings: ")) +
                                 QStringLiteral("\nkavetta --settings: refused; nothing changed"));
    for (const QString &w : std::as_const(o.warnings))
        print(err, QStringLiteral("kavetta --settings: warning: %1\n").arg(w));

    // Both files are checked before either is written.
    for (const auto &[path, changed] :
         {std::pair(configFile, o.configChanged), std::pair(optionsFile, o.optionsChanged)}) {
        if (const QString why = changed ? notWritable(path) : QString(); !why.isEmpty())
            return fail(FileError, why + QStringLiteral("; nothing changed"));
    }
    // A dry run stops here: what it prints is what a run would change.
    QString why;
    if (!dryRun && o.configChanged && !writeFile(configFile, o.config, why))
        return fail(FileError,
                    QStringLiteral("%1 cannot be written (%2); nothing changed").arg(configFile, why));
    if (!dryRun && o.optionsChanged && !writeFile(optionsFile, o.optionsFile, why))
        return fail(FileError, QStringLiteral("%1 cannot be written (%2)").arg(optionsFile, why));

    const bool changed = o.configChanged || o.optionsChanged;
    if (json) {
        const QJsonObject result{{QStringLiteral("changed"), changed},
                                 {QStringLiteral("dryRun"), dryRun},
                                 {QStringLiteral("configuration"), configFile},
                                 {QStringLiteral("records"), QJsonArray::fromStringList(o.records)},
                                 {QStringLiteral("options"), QJsonArray::fromStringList(o.options)}};
        print(out,
              QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    } else {
        QStringList what = o.records + o.options;
        print(out, !changed
                       ? QStringLiteral("unchanged\n")
                       : QStringLiteral("changed%1\n")
                             .arg(what.isEmpty() ? QString()
                                                 : QStringLiteral(": ") + what.join(QStringLiteral(", "))));
    }
    return Done;
}
