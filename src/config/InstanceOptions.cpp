#include "config/InstanceOptions.h"

#include "common/Cp1252.h"
#include "common/NearestName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>

#include <functional>

namespace
{

// An options file is a few dozen lines; more than this is not one.
constexpr qint64 kMaxOptionsBytes = 1024LL * 1024;

using Setter = std::function<bool(const QString &value, InstanceOptions &options, QString &why)>;

struct Key {
    QString group;
    QString name;
    Setter set;
};

bool parseBool(const QString &value, bool &out, QString &why)
{
    const QString v = value.toLower();
    if (v == QLatin1String("true") || v == QLatin1String("yes") || v == QLatin1String("on") ||
        v == QLatin1String("1")) {
        out = true;
        return true;
    }
    if (v == QLatin1String("false") || v == QLatin1String("no") || v == QLatin1String("off") ||
        v == QLatin1String("0")) {
        out = false;
        return true;
    }
    why = QStringLiteral("is not true or false");
    return false;
}

bool parseInt(const QString &value, int min, int max, int &out, QString &why)
{
    bool ok = false;
    const qlonglong n = value.toLongLong(&ok);
    if (!ok || n < min || n > max) {
        why = QStringLiteral("is not a whole number from %1 to %2").arg(min).arg(max);
        return false;
    }
    out = int(n);
    return true;
}

int hexDigit(QChar c)
{
    const char l = c.toLatin1();
    if (l >= '0' && l <= '9')
        return l - '0';
    if (l >= 'a' && l <= 'f')
        return l - 'a' + 10;
    if (l >= 'A' && l <= 'F')
        return l - 'A' + 10;
    return -1;
}

// C escapes to bytes: \r \n \t \0 \\ \" and \xH or \xHH; other characters as their
// Windows-1252 byte, the code page of everything on the wire.
bool decodeEscapes(const QString &text, QByteArray &out, QString &why)
{
    QString plain;
    out.clear();
    const auto flush = [&] {
        out += cp1252::encode(plain);
        plain.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('\\')) {
            plain += text[i];
            continue;
        }
        flush();
        if (++i >= text.size()) {
            why = QStringLiteral("ends in a lone backslash");
            return false;
        }
        switch (text[i].toLatin1()) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'x': {
            int value = 0, digits = 0;
            while (digits < 2 && i + 1 < text.size() && hexDigit(text[i + 1]) >= 0) {
                value = value * 16 + hexDigit(text[++i]);
                ++digits;
            }
            if (digits == 0) {
                why = QStringLiteral("has \\x without hexadecimal digits");
                return false;
            }
            out += char(value);
            break;
        }
        default:
            why = QStringLiteral("has the unknown escape \\%1 (known: \\r \\n \\t \\0 \\\\ \\\" \\xHH)")
                      .arg(text[i]);
            return false;
        }
    }
    flush();
    return true;
}

bool parsePeers(const QString &value, QList<QPair<QHostAddress, int>> &out, QString &why)
{
    QList<QPair<QHostAddress, int>> peers;
    for (const QString &item : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString entry = item.trimmed();
        if (entry.isEmpty())
            continue;
        const auto subnet = QHostAddress::parseSubnet(entry);
        if (subnet.first.isNull() || subnet.second < 0) {
            why = QStringLiteral("has \"%1\", which is no IPv4 or IPv6 address or network (10.1.2.0/24)")
                      .arg(entry);
            return false;
        }
        peers.append(subnet);
    }
    out = peers;
    return true;
}

const QList<Key> &keys()
{
    const auto flag = [](bool SafetyOptions::*field) {
        return [field](const QString &v, InstanceOptions &o, QString &why) {
            return parseBool(v, o.safety.*field, why);
        };
    };
    static const QList<Key> table{
        {QStringLiteral("safety"), QStringLiteral("reportPeerFailures"),
         flag(&SafetyOptions::reportPeerFailures)},
        {QStringLiteral("safety"), QStringLiteral("answerTimeoutSec"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             return parseInt(v, 0, 86400, o.safety.answerTimeoutSec, why);
         }},
        {QStringLiteral("safety"), QStringLiteral("answerFraming"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             for (const AnswerFraming f : {AnswerFraming::Chunk, AnswerFraming::Line,
                                           AnswerFraming::Terminator, AnswerFraming::Length}) {
                 if (v.compare(framingName(f), Qt::CaseInsensitive) == 0) {
                     o.safety.answerFraming = f;
                     return true;
                 }
             }
             why = QStringLiteral("is not chunk, line, terminator or length");
             return false;
         }},
        {QStringLiteral("safety"), QStringLiteral("answerTerminator"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             return decodeEscapes(v, o.safety.answerTerminator, why);
         }},
        {QStringLiteral("safety"), QStringLiteral("answerMaxBytes"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             return parseInt(v, 1, 64 * 1024 * 1024, o.safety.answerMaxBytes, why);
         }},
        {QStringLiteral("safety"), QStringLiteral("dropLateAnswers"), flag(&SafetyOptions::dropLateAnswers)},
        {QStringLiteral("safety"), QStringLiteral("requirePrintData"),
         flag(&SafetyOptions::requirePrintData)},
        {QStringLiteral("safety"), QStringLiteral("allowedPeers"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             return parsePeers(v, o.safety.allowedPeers, why);
         }},
        {QStringLiteral("safety"), QStringLiteral("maxQueuedItems"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             return parseInt(v, 0, 1000000, o.safety.maxQueuedItems, why);
         }},
        {QStringLiteral("journal"), QStringLiteral("enabled"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             return parseBool(v, o.journal.enabled, why);
         }},
        {QStringLiteral("journal"), QStringLiteral("replayMaxAgeSec"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             return parseInt(v, 0, 365 * 86400, o.journal.replayMaxAgeSec, why);
         }},
        {QStringLiteral("status"), QStringLiteral("port"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             if (v.isEmpty()) {
                 o.status.port = 0;
                 return true;
             }
             int port = 0;
             if (!parseInt(v, 1, 65535, port, why))
                 return false;
             o.status.port = quint16(port);
             return true;
         }},
        {QStringLiteral("status"), QStringLiteral("address"),
         [](const QString &v, InstanceOptions &o, QString &why) {
             const QHostAddress address(v);
             if (address.isNull()) {
                 why = QStringLiteral("is no IPv4 or IPv6 address");
                 return false;
             }
             o.status.address = address;
             return true;
         }},
    };
    return table;
}

// The value part of "key = value": an optional quoted text, else up to a comment.
QString valueText(const QString &raw)
{
    QString t = raw.trimmed();
    if (t.size() >= 2 && t.startsWith(QLatin1Char('"'))) {
        const qsizetype close = t.indexOf(QLatin1Char('"'), 1);
        if (close > 0)
            return t.mid(1, close - 1);
    }
    for (qsizetype i = 0; i < t.size(); ++i) {
        if ((t[i] == QLatin1Char(';') || t[i] == QLatin1Char('#')) && (i == 0 || t[i - 1].isSpace()))
            return t.left(i).trimmed();
    }
    return t;
}

} // namespace

QString InstanceOptions::valueOf(const QString &afterEquals)
{
    return valueText(afterEquals);
}

QString InstanceOptions::decode(const QByteArray &content, bool *isUtf8)
{
    // Written by hand on Linux (UTF-8) or taken over from a Windows tool (the plants' code page).
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(content);
    if (isUtf8)
        *isUtf8 = !utf8.hasError();
    return utf8.hasError() ? cp1252::decode(content) : text;
}

QString InstanceOptions::fileFor(const QString &configFile)
{
    if (configFile.isEmpty())
        return {};
    const QFileInfo info(configFile);
    const QString base = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
    return info.dir().filePath(base + QStringLiteral(".ini"));
}

InstanceOptions InstanceOptions::load(const QString &configFile)
{
    const QString path = fileFor(configFile);
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        InstanceOptions defaults;
        defaults.file = path;
        return defaults;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        InstanceOptions defaults;
        defaults.file = path;
        defaults.problems.append({path, 0, QStringLiteral("cannot be read (%1)").arg(file.errorString())});
        return defaults;
    }
    return parse(file.read(kMaxOptionsBytes), path);
}

InstanceOptions InstanceOptions::parse(const QByteArray &content, const QString &file)
{
    InstanceOptions options;
    options.file = file;
    const auto problem = [&options, &file](int line, const QString &reason) {
        options.problems.append({file, line, reason});
    };

    const QString text = decode(content);

    QStringList groupNames, keyNames;
    for (const Key &k : keys()) {
        if (!groupNames.contains(k.group))
            groupNames << k.group;
        keyNames << k.name;
    }

    QString group;        // the current known group; empty before the first or after an unknown one
    bool ignored = false; // inside an unknown group: its keys were reported with it
    QHash<QString, int> seen;
    bool terminatorSet = false;
    int framingLine = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int number = 1; number <= lines.size(); ++number) {
        const QString line = lines[number - 1].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.indexOf(QLatin1Char(']'));
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            group.clear();
            ignored = true;
            if (close < 0) {
                problem(number, QStringLiteral("the group name [%1 has no closing ]").arg(name));
                continue;
            }
            for (const QString &known : std::as_const(groupNames)) {
                if (known.compare(name, Qt::CaseInsensitive) == 0)
                    group = known;
            }
            if (group.isEmpty()) {
                const QString near = nearestName(name, groupNames);
                problem(number,
                        QStringLiteral("unknown group [%1]%2; its keys are ignored")
                            .arg(name, near.isEmpty() ? QStringLiteral(" (known: [safety], [journal], "
                                                                       "[status])")
                                                      : QStringLiteral(" (did you mean [%1]?)").arg(near)));
                continue;
            }
            ignored = false;
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) {
            problem(number, QStringLiteral("\"%1\" is no \"key = value\" line").arg(line));
            continue;
        }
        const QString name = line.left(eq).trimmed();
        const QString value = valueOf(line.mid(eq + 1));
        if (ignored)
            continue;
        if (group.isEmpty()) {
            problem(number,
                    QStringLiteral("%1 stands before any group ([safety], [journal] or [status])").arg(name));
            continue;
        }
        const Key *key = nullptr;
        QStringList groupKeys;
        for (const Key &k : keys()) {
            if (k.group != group)
                continue;
            groupKeys << k.name;
            if (k.name.compare(name, Qt::CaseInsensitive) == 0)
                key = &k;
        }
        if (!key) {
            QString hint;
            if (const QString near = nearestName(name, groupKeys); !near.isEmpty())
                hint = QStringLiteral(" (did you mean %1?)").arg(near);
            else if (const QString other = nearestName(name, keyNames); !other.isEmpty())
                hint = QStringLiteral(" (%1 belongs to another group)").arg(other);
            problem(number, QStringLiteral("unknown key %1 in [%2]%3").arg(name, group, hint));
            continue;
        }
        const QString id = group + QLatin1Char('/') + key->name;
        if (const auto earlier = seen.constFind(id); earlier != seen.constEnd())
            problem(number, QStringLiteral("%1 is set again (first in line %2); this line holds")
                                .arg(key->name)
                                .arg(*earlier));
        seen.insert(id, number);
        QString why;
        if (!key->set(value, options, why)) {
            problem(number, QStringLiteral("%1 = %2 %3; the default holds").arg(key->name, value, why));
            continue;
        }
        if (key->name == QLatin1String("answerTerminator"))
            terminatorSet = !options.safety.answerTerminator.isEmpty();
        if (key->name == QLatin1String("answerFraming"))
            framingLine = number;
    }
    if (options.safety.answerFraming == AnswerFraming::Terminator && !terminatorSet) {
        options.safety.answerFraming = AnswerFraming::Chunk;
        problem(framingLine, QStringLiteral("answerFraming = terminator needs an answerTerminator (such as "
                                            "\\r\\n or \\x03); the default chunk holds"));
    }
    return options;
}
