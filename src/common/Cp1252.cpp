#include "common/Cp1252.h"

#include <array>

namespace cp1252
{
namespace
{

// QStringEncoder maps the characters U+0080..U+009F to '?', which would break the rule that a
// text of byte values goes out unchanged; so the 32 differing code points are kept here.
constexpr std::array<char16_t, 32> kHigh = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char encodeChar(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c < 0x100))
        return static_cast<char>(c);
    for (std::size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == c)
            return static_cast<char>(0x80 + i);
    }
    // U+0080..U+009F that Windows-1252 does not hold keep their byte value.
    if (c < 0x100)
        return static_cast<char>(c);
    return '?';
}

} // namespace

QByteArray encode(const QString &text)
{
    // Qt's Latin-1 conversion is vectorised and already gives the right byte for every
    // character below U+0100 (U+0080..U+009F included); every other UTF-16 unit became '?'.
    // So only from the first '?' on can a byte need a second look: a Windows-1252 character
    // beyond U+00FF, or the two units of one character beyond U+FFFF.
    QByteArray out = text.toLatin1();
    // A '?' that stood in the text already needs nothing (an XML declaration has one at once).
    qsizetype first = out.indexOf('?');
    while (first >= 0 && text.at(first) == QLatin1Char('?'))
        first = out.indexOf('?', first + 1);
    if (first < 0)
        return out;
    char *dst = out.data() + first;
    const QChar *src = text.constData() + first;
    const QChar *const end = text.constData() + text.size();
    while (src < end) {
        // A character beyond U+FFFF is one character the code page lacks: one '?' for both
        // of its UTF-16 units. A lone half is a character of its own and gets its own '?'.
        if (src->isHighSurrogate() && src + 1 < end && src[1].isLowSurrogate()) {
            *dst++ = '?';
            src += 2;
            continue;
        }
        *dst++ = encodeChar((src++)->unicode());
    }
    out.truncate(dst - out.constData());
    return out;
}

QString decode(const char *data, qsizetype size)
{
    QString out;
    out.resize(size);
    QChar *dst = out.data();
    for (qsizetype i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        *dst++ = (b >= 0x80 && b < 0xA0) ? QChar(kHigh[b - 0x80]) : QChar(b);
    }
    return out;
}

QString decode(const QByteArray &bytes)
{
    return decode(bytes.constData(), bytes.size());
}

} // namespace cp1252
