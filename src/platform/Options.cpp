#include "platform/Options.h"

#include "common/Cp1252.h"
#include "messages/MsgList.h"

#include <QFile>
#include <QSettings>

#include <cerrno>

// The tags that keep a value's kind in the INI text. An untagged text is a plain string, so a
// store edited by hand ("MaxFreeSpace(MB)=500") reads as expected; a plain string that happens
// to begin with a tag is written with the "sz:" tag in front.
namespace
{

const QString kSz = QStringLiteral("sz:");
const QString kExpand = QStringLiteral("expand_sz:");
const QString kDword = QStringLiteral("dword:");

const QString kBranch = QStringLiteral("Software/Morvanta/");
const QString kOptionApp = QStringLiteral("Pralix-Application");
const QString kOptionSection = QStringLiteral("Optionen");

QString throughCodePage(const QString &text)
{
    return cp1252::decode(cp1252::encode(text));
}

bool hasTag(const QString &text)
{
    return text.startsWith(kSz) || text.startsWith(kExpand) || text.startsWith(kDword);
}

// QSettings reports only "access" or "format"; the file system says what went wrong.
QString storeFailure(const QSettings &settings)
{
    if (settings.status() == QSettings::FormatError)
        return QStringLiteral("The settings store holds invalid data");
    QFile probe(settings.fileName());
    if (!probe.open(QIODevice::ReadWrite | QIODevice::Append))
        return probe.errorString();
    return QString::fromLocal8Bit(std::strerror(EACCES));
}

QString addFailureText(const QString &prefix, const QString &application, const QString &section,
                       const QString &description)
{
    return prefix + application + QLatin1Char('\\') + section + description;
}

} // namespace

Options::Options(MsgList &messages) : m_messages(messages)
{
}

std::unique_ptr<QSettings> Options::openStore(QSettings::Scope scope)
{
    // Opened by its file name, the store holds that one file: a store of the scope opened by
    // organisation also syncs the other scope's file and takes on its failures.
    const QString file =
        QSettings(QSettings::IniFormat, scope, QStringLiteral("Morvanta"), QStringLiteral("Kavetta"))
            .fileName();
    return std::make_unique<QSettings>(file, QSettings::IniFormat);
}

bool Options::writeTo(QSettings::Scope scope, const QString &key, const QVariant &stored, QString &failure)
{
    auto settings = openStore(scope);
    if (!settings->isWritable()) {
        failure = storeFailure(*settings);
        return false;
    }
    settings->setValue(key, stored);
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        failure = storeFailure(*settings);
        return false;
    }
    return true;
}

QVariant Options::storedValue(const QString &key, QString *formatFailure)
{
    for (const QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope}) {
        auto settings = openStore(scope);
        if (settings->status() == QSettings::AccessError)
            continue; // this scope cannot be opened: the value is not there
        if (settings->status() == QSettings::FormatError) {
            if (formatFailure)
                *formatFailure = storeFailure(*settings);
            return {};
        }
        QVariant raw = settings->value(key);
        if (raw.isValid())
            return raw;
    }
    return {};
}

QString Options::keyPath(const QString &application, const QString &section, const QString &valueName)
{
    QString app = application;
    app.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QString sec = section;
    sec.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return kBranch + app + QLatin1Char('/') + sec + QLatin1Char('/') + valueName;
}

bool Options::isExpandable(const QString &text)
{
    const qsizetype first = text.indexOf(QLatin1Char('%'));
    return first >= 0 && text.indexOf(QLatin1Char('%'), first + 2) >= 0;
}

void Options::regWriteValue(const QString &application, const QString &section, const QString &valueName,
                            const QVariant &value)
{
    QVariant stored;
    switch (value.metaType().id()) {
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool: {
        const auto n = value.metaType().id() == QMetaType::Bool ? (value.toBool() ? -1 : 0)
                                                                : static_cast<qint32>(value.toLongLong());
        stored = kDword + QStringLiteral("%1").arg(static_cast<quint32>(n), 8, 16, QLatin1Char('0'));
        break;
    }
    case QMetaType::QString: {
        const QString text = throughCodePage(value.toString());
        if (isExpandable(text))
            stored = kExpand + text;
        else
            stored = hasTag(text) ? kSz + text : text;
        break;
    }
    default:
        return;
    }

    const QString key = keyPath(application, section, valueName);
    QString failure;
    if (writeTo(QSettings::SystemScope, key, stored, failure)) {
        // Reads look in the user's scope first: a value left there from a time when the machine's
        // could not be written would hide the one just written.
        auto user = openStore(QSettings::UserScope);
        if (user->contains(key)) {
            user->remove(key);
            user->sync();
        }
        return;
    }
    // The machine's failure is the one reported: the user's scope is only the second choice.
    QString userFailure;
    if (!writeTo(QSettings::UserScope, key, stored, userFailure)) {
        m_messages.setLastFailure({EACCES, QStringLiteral("Registry"), failure, {}, 0});
        m_messages.addMsg(MsgList::Information,
                          addFailureText(QStringLiteral("Fehler beim Schreiben der Registry : "), application,
                                         section, failure));
    }
}

QVariant Options::regReadValue(const QString &application, const QString &section, const QString &valueName,
                               const QVariant &defaultValue)
{
    QString failure;
    const QVariant raw = storedValue(keyPath(application, section, valueName), &failure);
    if (!failure.isEmpty()) {
        m_messages.setLastFailure({EINVAL, QStringLiteral("Registry"), failure, {}, 0});
        m_messages.addMsg(MsgList::Information,
                          addFailureText(QStringLiteral("Fehler beim Lesen der Registry : "), application,
                                         section, failure));
        return QString();
    }
    if (!raw.isValid())
        return defaultValue;

    switch (raw.metaType().id()) {
    case QMetaType::QByteArray:
        return raw.toByteArray();
    case QMetaType::QStringList: {
        // A multi-string reads as its strings, each with its NUL, the list's final NUL dropped.
        QString joined;
        for (const QString &s : raw.toStringList())
            joined += s + QChar(0);
        return joined;
    }
    default:
        break;
    }
    const QString text = raw.toString();
    if (text.startsWith(kDword)) {
        bool ok = false;
        const quint32 n = QStringView(text).mid(kDword.size()).toUInt(&ok, 16);
        if (ok)
            return static_cast<qint32>(n);
        return QByteArray(); // a damaged number: other-kind data, none of it usable
    }
    if (text.startsWith(kExpand))
        return QByteArray(cp1252::encode(text.mid(kExpand.size())) + '\0');
    if (text.startsWith(kSz))
        return text.mid(kSz.size());
    return text;
}

Options::Kind Options::valueKind(const QString &application, const QString &section, const QString &valueName)
{
    const QVariant raw = storedValue(keyPath(application, section, valueName), nullptr);
    if (!raw.isValid())
        return Kind::Missing;
    if (raw.metaType().id() == QMetaType::QByteArray)
        return Kind::Binary;
    if (raw.metaType().id() == QMetaType::QStringList)
        return Kind::MultiString;
    const QString text = raw.toString();
    if (text.startsWith(kDword))
        return Kind::Number;
    if (text.startsWith(kExpand))
        return Kind::ExpandString;
    return Kind::String;
}

QString Options::getOption(const QString &valueName, const QString &group)
{
    const QString app = group.isEmpty() ? kOptionApp : kOptionApp + QLatin1Char('\\') + group;
    const QVariant value = regReadValue(app, kOptionSection, valueName, QStringLiteral("-1"));
    QString text;
    if (value.metaType().id() == QMetaType::QByteArray) {
        // Data of another kind is taken as text; its terminating NUL is no part of it.
        QByteArray bytes = value.toByteArray();
        if (bytes.endsWith('\0'))
            bytes.chop(1);
        text = cp1252::decode(bytes);
    } else {
        text = value.toString();
    }
    if (text == QLatin1String("-1")) {
        regWriteValue(app, kOptionSection, valueName, QString());
        return QString();
    }
    return text;
}

void Options::setOption(const QString &valueName, const QString &value, const QString &group)
{
    const QString app = group.isEmpty() ? kOptionApp : kOptionApp + QLatin1Char('\\') + group;
    regWriteValue(app, kOptionSection, valueName, value);
}
