#include "common/Cp1252.h"

#include <array>

namespace cp1252 {
namespace {

// QStringEncoder maps the characters U+0080..U+009F to '?', which would break the rule that a
// text of byte values goes out unchanged; so the 32 differing code points are kept here.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

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
    QByteArray out;
    out.resize(text.size());
    char *dst = out.data();
    for (const QChar ch : text)
        *dst++ = encodeChar(ch.unicode());
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
