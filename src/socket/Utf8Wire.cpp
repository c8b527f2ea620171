#include "socket/Utf8Wire.h"

// Written by hand: QString::toUtf8 joins surrogate pairs into four-byte groups (and replaces a
// lone half), which is not the form the peers expect.
//
// The text is encoded where it stands: it grows to the encoded length and is filled from its
// end, where every code unit lands at or after its own place, so a label of megabytes never
// has a second copy beside it (unless the caller still shares the text).
QString encodeUTF8(QString text)
{
    const qsizetype size = text.size();
    qsizetype encoded = size;
    for (const QChar ch : std::as_const(text))
        encoded += ch.unicode() < 0x80 ? 0 : ch.unicode() < 0x800 ? 1 : 2;
    if (encoded == size)
        return text;
    text.resize(encoded);
    char16_t *const begin = reinterpret_cast<char16_t *>(text.data());
    char16_t *out = begin + encoded;
    for (const char16_t *in = begin + size; in != begin;) {
        const char16_t c = *--in;
        if (c < 0x80) {
            *--out = c;
        } else if (c < 0x800) {
            *--out = char16_t(0x80 + (c & 0x3F));
            *--out = char16_t(0xC0 + (c >> 6));
        } else {
            *--out = char16_t(0x80 + (c & 0x3F));
            *--out = char16_t(0x80 + ((c >> 6) & 0x3F));
            *--out = char16_t(0xE0 + ((c >> 12) & 0x0F));
        }
    }
    return text;
}
