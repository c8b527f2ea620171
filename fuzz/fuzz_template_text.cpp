// The one-pass template writer against the document parser: whatever template the writer takes
// on must parse and come out as the parser writes it. The input is the template file as it is.
#include "DocumentTemplateText.h"

#include "labels/XmlTemplateText.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<QString> got = commonTemplateText(bytes);
    if (!got)
        return 0;
    const std::optional<QString> expected = documentTemplateText(bytes);
    if (!expected || *got != *expected) {
        std::fprintf(stderr, "template %s\ngot      %s\nexpected %s\n", bytes.constData(), qPrintable(*got),
                     expected ? qPrintable(*expected) : "(does not parse)");
        std::abort();
    }
    return 0;
}
