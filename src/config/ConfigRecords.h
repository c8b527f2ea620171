#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The one reader of the configuration file's format (".zelb": two-field records, one per line,
// CR LF, Windows-1252) and of the values in it. The loader, the instance check and the settings
// commands all read through here, so that a value means the same to each of them.
namespace zelb
{

// One field of a record line as it stands.
struct Field {
    QString text; // a quoted field: between the quotes; an unquoted one: trimmed
    bool quoted = false;
    bool closed = true; // false: the closing quote is missing and the text runs to the line end
    QString after;      // what stands between a closing quote and the next comma (not read)
};

// One line that is not blank.
struct Line {
    int number = 0; // counted from 1, blank lines included
    Field name;
    Field value;
    bool hasValue = false; // a second field follows the name (an empty one after a comma counts)
    bool more = false;     // something follows the second field's comma (not read) ...
    QString rest;          // ... namely this, trimmed

    // The value as the gateway takes it: an unquoted #TRUE# and #FALSE# read as True and False.
    QString valueText() const;
};

// A configuration file is a few hundred bytes; anything past this many is not read.
constexpr qint64 MaxBytes = 16LL * 1024 * 1024;

// The 15 records in the order a save writes them, with what their values are.
enum class Kind { Text, Box1, Box2, Boolean };
struct RecordInfo {
    const char *name;
    Kind kind;
};
const QList<RecordInfo> &records();

// Every line of the file that is not blank. CR LF, LF or a lone CR end a line.
QList<Line> readLines(const QByteArray &content);

// The integer form of a stored value: empty reads as 0; a number with a fraction is rounded
// half to even; anything else (letters, out of range of int) has none.
std::optional<int> integer(const QString &text);
// True or False in any letter case, or a number (not 0 = true); anything else has none.
std::optional<bool> boolean(const QString &text);

// The leading number of a text: optional blanks and sign, digits with "." as decimal point and
// an exponent, up to the first character that cannot continue it. No number gives 0; length
// receives how many characters it took (0 for none).
double leadingNumber(const QString &text, qsizetype *length = nullptr);
// The whole seconds of a timeout text, at least 2; none when the rounded number does not fit
// 32 bits (the setting is then not taken and the previous timeout stays).
std::optional<qint32> timeoutSeconds(const QString &text);

// A record line as a save writes it, without its line end: "Name",value.
QString recordLine(const QString &name, const QString &storedValue);

} // namespace zelb
