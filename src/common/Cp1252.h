#pragma once

#include <QByteArray>
#include <QString>

// The single-byte code page of the plants' files and wire data.
//
// Encoding: a character that Windows-1252 has becomes its byte; any other character below
// U+0100 becomes the byte of the same value, so a text of byte values (such as the UTF-8 form
// of a request) goes out as exactly those bytes; anything else becomes '?', one for each
// character (a character beyond U+FFFF, two UTF-16 units, gives a single '?').
// Decoding is the inverse: bytes 0x80..0x9F that Windows-1252 assigns become their
// characters, the five it leaves undefined and every other byte become U+00xx.
namespace cp1252
{

QByteArray encode(const QString &text);
QString decode(const QByteArray &bytes);
QString decode(const char *data, qsizetype size);

} // namespace cp1252
