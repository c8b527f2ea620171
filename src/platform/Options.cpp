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

std::unique_ptr<QSettings> Options::openStore()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::SystemScope,
                                       QStringLiteral("Morvanta"), QStringLiteral("Kavetta"));
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

    auto settings = openStore();
    QString failure;
    if (!settings->isWritable()) {
        failure = storeFailure(*settings);
    } else {
        settings->setValue(keyPath(application, section, valueName), stored);
        settings->sync();
        if (settings->status() != QSettings::NoError)
            failure = storeFailure(*settings);
    }
    if (!failure.isEmpty()) {
        m_messages.setLastFailure({EACCES, QStringLiteral("Registry"), failure, {}, 0});
        m_messages.addMsg(MsgList::Information,
                          addFailureText(QStringLiteral("Fehler beim Schreiben der Registry : "), application,
                                         section, failure));
    }
}

QVariant Options::regReadValue(const QString &application, const QString &section, const QString &valueName,
                               const QVariant &defaultValue)
{
    auto settings = openStore();
    if (settings->status() == QSettings::AccessError)
        return defaultValue; // the key cannot be opened
    if (settings->status() == QSettings::FormatError) {
        const QString failure = storeFailure(*settings);
        m_messages.setLastFailure({EINVAL, QStringLiteral("Registry"), failure, {}, 0});
        m_messages.addMsg(MsgList::Information,
                          addFailureText(QStringLiteral("Fehler beim Lesen der Registry : "), application,
                                         section, failure));
        return QString();
    }
    const QVariant raw = settings->value(keyPath(application, section, valueName));
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
    auto settings = openStore();
    const QVariant raw = settings->value(keyPath(application, section, valueName));
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
