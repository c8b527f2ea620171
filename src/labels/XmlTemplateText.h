#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The XML text of a template exactly as the document parser writes it back (see XmlTemplate.h),
// made in one pass over the file, for templates in the common form: UTF-8 (declared or not),
// elements and attributes with ASCII names, text with the five named entities and character
// references, CDATA sections, comments and processing instructions.
//
// Anything else gives nothing: a document type, another declared encoding, other names or
// control characters, and every document that is not well-formed. Such a template goes through
// the document parser, which gives its text or the reason it does not parse; so this never has
// to know an error text, only which documents it may take on.
std::optional<QString> commonTemplateText(const QByteArray &bytes);
