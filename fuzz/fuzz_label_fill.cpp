// The one-pass label fill against the sequential fill it replaced. The input is cut at NUL bytes
// into template, version and print data; a few bytes stand for the characters where the two
// could part ways (letters that fold, surrogate pairs and their halves), and the bytes from 0x80
// for the characters placeholders are made of, so that short inputs hold many of them.
#include "SequentialLabelFill.h"

#include "labels/PlaceholderText.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

QString decode(const uint8_t *data, size_t size)
{
    static const char16_t Special[] = {u'ä', u'Ä', 0xD801, 0xDC00, 0xDC28, u'ß', u'İ'};
    static const char Common[] = "#aAbB=\n\r";
    QString s;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = data[i];
        if (c >= 1 && c <= sizeof(Special) / sizeof(Special[0]))
            s += QChar(Special[c - 1]);
        else if (c >= 0x80)
            s += QLatin1Char(Common[c % (sizeof(Common) - 1)]);
        else
            s += QLatin1Char(char(c));
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString parts[3];
    size_t from = 0;
    for (int p = 0; p < 3 && from <= size; ++p) {
        const void *nul = std::memchr(data + from, 0, size - from);
        const size_t to = nul ? size_t(static_cast<const uint8_t *>(nul) - data) : size;
        parts[p] = decode(data + from, to - from);
        from = to + 1;
    }
    const std::optional<FilledLabel> oracle = sequential::fillLabel(parts[0], parts[1], parts[2], 1 << 16);
    if (!oracle)
        return 0;
    const FilledLabel &expected = *oracle;
    const FilledLabel got = fillLabel(PlaceholderText(parts[0]), parts[1], parts[2]);
    if (got.rejected != expected.rejected || got.text != expected.text || got.notFound != expected.notFound) {
        std::fprintf(stderr, "got %s\nexpected %s\n", qPrintable(got.text), qPrintable(expected.text));
        std::abort();
    }
    return 0;
}
