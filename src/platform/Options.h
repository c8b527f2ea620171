#pragma once

#include <QString>
#include <QVariant>

#include <memory>

class MsgList;
class QSettings;

// The machine-wide settings store: an INI file kept by QSettings (system scope, organisation
// "Morvanta"), in which a value lives under the group "Software/Morvanta/<application>/<section>".
//
// INI files keep no value kinds, so the store tags them in the text (see Options.cpp): a read
// gives back the kind that was written. Strings pass through Windows-1252, as the plants' own
// stores always held them.
class Options
{
public:
    enum class Kind { Missing, String, ExpandString, MultiString, Number, Binary };

    explicit Options(MsgList &messages);

    // Numbers (16/32-bit, booleans as 0 / -1) become a 32-bit number; strings a plain string,
    // or an expandable one when a "%" is followed by another "%" at least two characters on.
    // Other kinds are not written. Failures are queued as a message for the operator.
    void regWriteValue(const QString &application, const QString &section, const QString &valueName,
                       const QVariant &value);
    // A string (QString), a number (qint32) or, for other kinds, the raw bytes (QByteArray) with
    // the string's terminating NUL. A missing value gives the default.
    QVariant regReadValue(const QString &application, const QString &section, const QString &valueName,
                          const QVariant &defaultValue = QVariant(qint32(0)));
    Kind valueKind(const QString &application, const QString &section, const QString &valueName);

    // The options of "Pralix-Application" (or "Pralix-Application\<group>"), section "Optionen".
    // getOption creates a missing option as an empty string and returns an empty text.
    QString getOption(const QString &valueName, const QString &group = {});
    void setOption(const QString &valueName, const QString &value, const QString &group = {});

    static std::unique_ptr<QSettings> openStore();
    static QString keyPath(const QString &application, const QString &section, const QString &valueName);
    static bool isExpandable(const QString &text);

private:
    MsgList &m_messages;
};
