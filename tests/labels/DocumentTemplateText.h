#pragma once

// A template's XML text as the document parser gives it: parsed into a document, the declared
// encoding dropped, written back without added white space. Nothing when it does not parse.
#include <QDomDocument>
#include <QRegularExpression>

#include <optional>

inline std::optional<QString> documentTemplateText(const QByteArray &bytes)
{
    QDomDocument document;
    if (!document.setContent(bytes))
        return std::nullopt;
    QDomProcessingInstruction declaration = document.firstChild().toProcessingInstruction();
    if (!declaration.isNull() && declaration.target() == QLatin1String("xml")) {
        static const QRegularExpression encoding(QStringLiteral(R"(\s*encoding\s*=\s*(['"])[^'"]*\1)"));
        declaration.setData(declaration.data().remove(encoding));
    }
    return document.toString(-1);
}
