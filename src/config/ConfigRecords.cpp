#include "config/ConfigRecords.h"

#include "common/Cp1252.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace zelb
{

namespace
{

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

// One field of a record line, starting at pos; pos ends after the field's comma (or at the end).
// A quoted field is the text between the quotes (an unterminated one runs to the line end) and
// whatever follows the closing quote up to the comma is dropped; an unquoted field is trimmed.
Field readField(QStringView line, qsizetype &pos)
{
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    Field f;
    f.quoted = pos < line.size() && line[pos] == QLatin1Char('"');
    if (f.quoted) {
        const qsizetype close = line.indexOf(QLatin1Char('"'), pos + 1);
        f.closed = close >= 0;
        const qsizetype end = f.closed ? close : line.size();
        f.text = line.mid(pos + 1, end - pos - 1).toString();
        const qsizetype comma = line.indexOf(QLatin1Char(','), end);
        if (f.closed)
            f.after = line.mid(close + 1, (comma < 0 ? line.size() : comma) - close - 1).trimmed().toString();
        pos = comma < 0 ? line.size() : comma + 1;
        return f;
    }
    const qsizetype comma = line.indexOf(QLatin1Char(','), pos);
    const qsizetype end = comma < 0 ? line.size() : comma;
    f.text = line.mid(pos, end - pos).trimmed().toString();
    pos = comma < 0 ? line.size() : comma + 1;
    return f;
}

const QString kTrueText = QStringLiteral("True");
const QString kFalseText = QStringLiteral("False");

} // namespace

QString Line::valueText() const
{
    if (!value.quoted && value.text == QLatin1String("#TRUE#"))
        return kTrueText;
    if (!value.quoted && value.text == QLatin1String("#FALSE#"))
        return kFalseText;
    return value.text;
}

const QList<RecordInfo> &records()
{
    static const QList<RecordInfo> list = {
        {"ServerPath", Kind::Text},   {"Netid", Kind::Text},         {"Port", Kind::Text},
        {"Modulname", Kind::Text},    {"Maschinenname", Kind::Text}, {"XML-Export", Kind::Box2},
        {"RemoteHost", Kind::Text},   {"RemotePort", Kind::Text},    {"ServerTest", Kind::Box1},
        {"Status", Kind::Box2},       {"Timeout", Kind::Text},       {"StaticConnect", Kind::Box1},
        {"ResetOnError", Kind::Box1}, {"UTF8Codierung", Kind::Box1}, {"AutoConnectOff", Kind::Boolean},
    };
    return list;
}

QList<Line> readLines(const QByteArray &content)
{
    QList<Line> lines;
    const QString text = cp1252::decode(content.left(MaxBytes));
    const QStringView all(text);
    qsizetype lineStart = 0;
    int number = 0;
    while (lineStart < all.size()) {
        qsizetype lineEnd = lineStart;
        while (lineEnd < all.size() && all[lineEnd] != QLatin1Char('\r') && all[lineEnd] != QLatin1Char('\n'))
            ++lineEnd;
        const QStringView line = all.mid(lineStart, lineEnd - lineStart);
        ++number;
        lineStart = lineEnd;
        if (lineStart < all.size() && all[lineStart] == QLatin1Char('\r'))
            ++lineStart;
        if (lineStart < all.size() && all[lineStart] == QLatin1Char('\n'))
            ++lineStart;

        if (line.trimmed().isEmpty())
            continue;
        qsizetype pos = 0;
        Line l;
        l.number = number;
        l.name = readField(line, pos);
        l.hasValue = pos < line.size() || line.endsWith(QLatin1Char(','));
        if (l.hasValue) {
            l.value = readField(line, pos);
            l.more = pos < line.size();
            l.rest = line.mid(pos).trimmed().toString();
        }
        lines.append(l);
    }
    return lines;
}

std::optional<int> integer(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return 0;
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (!ok || !std::isfinite(d))
        return std::nullopt;
    const double r = std::nearbyint(d);
    if (r < std::numeric_limits<int>::min() || r > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(r);
}

std::optional<bool> boolean(const QString &text)
{
    const QString t = text.trimmed();
    if (t.compare(kTrueText, Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(kFalseText, Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (ok)
        return d != 0.0;
    return std::nullopt;
}

double leadingNumber(const QString &text, qsizetype *length)
{
    const QByteArray s = text.toLatin1();
    qsizetype i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    const qsizetype start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    const auto digits = [&s, &i] {
        const qsizetype from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i;
        return i - from;
    };
    qsizetype mantissa = digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (length)
        *length = 0;
    if (mantissa == 0)
        return 0.0;
    qsizetype end = i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (digits() > 0)
            end = i;
    }
    if (length)
        *length = end;
    // strtod_l in the C locale rather than QByteArray::toDouble, which reads a number too large
    // for a double as 0: here it must read as an infinity, which no later range check passes.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    const QByteArray number = s.mid(start, end - start);
    return cLocale ? strtod_l(number.constData(), nullptr, cLocale) : number.toDouble();
}

std::optional<qint32> timeoutSeconds(const QString &text)
{
    const double rounded = std::nearbyint(leadingNumber(text)); // the default mode rounds halves to even
    if (!(rounded >= std::numeric_limits<qint32>::min() && rounded <= std::numeric_limits<qint32>::max()))
        return std::nullopt;
    return rounded < 2.0 ? 2 : static_cast<qint32>(rounded);
}

QString recordLine(const QString &name, const QString &storedValue)
{
    return QLatin1Char('"') + name + QStringLiteral("\",") + storedValue;
}

} // namespace zelb
