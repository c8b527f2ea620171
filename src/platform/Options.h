#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

class MsgList;

// The machine-wide settings store: an INI file kept by QSettings (organisation "Morvanta"), in
// which a value lives under the group "Software/Morvanta/<application>/<section>".
//
// The store has two scopes. A read looks in the user's scope first, then in the machine's
// (/etc/xdg); a write goes to the machine's scope when it is writable, else to the user's. So an
// operator who may not write the machine's file still keeps every value, and a write fails only
// when neither scope takes it.
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

    // The store of one scope, without fallbacks to the other.
    static std::unique_ptr<QSettings> openStore(QSettings::Scope scope);
    static QString keyPath(const QString &application, const QString &section, const QString &valueName);
    static bool isExpandable(const QString &text);

private:
    // Writes one value into one scope; false with the failure's description when it could not.
    static bool writeTo(QSettings::Scope scope, const QString &key, const QVariant &stored, QString &failure);
    // The value as the user's scope, else the machine's holds it; invalid when neither does. A
    // store that cannot be parsed stops the search and gives its failure.
    static QVariant storedValue(const QString &key, QString *formatFailure);

    MsgList &m_messages;
};
