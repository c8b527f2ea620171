#include "socket/Utf8Wire.h"

// Written by hand: QString::toUtf8 joins surrogate pairs into four-byte groups (and replaces a
// lone half), which is not the form the peers expect.
QString encodeUTF8(QString text)
{
    QString out;
    out.reserve(text.size() * 3);
    for (const QChar ch : std::as_const(text)) {
        const char16_t c = ch.unicode();
        if (c < 0x80) {
            out += QChar(c);
        } else if (c < 0x800) {
            out += QChar(0xC0 + (c >> 6));
            out += QChar(0x80 + (c & 0x3F));
        } else {
            out += QChar(0xE0 + ((c >> 12) & 0x0F));
            out += QChar(0x80 + ((c >> 6) & 0x3F));
            out += QChar(0x80 + (c & 0x3F));
        }
    }
    return out;
}
