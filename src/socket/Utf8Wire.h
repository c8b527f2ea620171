#pragma once

#include <QString>

// Text to a text whose characters stand for the bytes of its UTF-8 form, in order; the endpoint
// puts exactly those bytes on the wire. Each 16-bit code unit is encoded on its own, so the two
// halves of a character beyond the 16-bit range become two three-byte groups: the plants' peers
// have always received that form.
QString encodeUTF8(QString text);
