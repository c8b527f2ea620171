#pragma once

#include <QHash>
#include <QString>

// The XML document service of the label commands: a template file is loaded synchronously and
// taken back as its XML text as Qt Xml's document writes it; on failure the parser's reason and
// the text of the failing line are given instead. Templates in the common form are read and
// written in one pass (XmlTemplateText.h), the rest are parsed into a document.
//
// Only files inside `folder` (after following links) are read: a name that leads elsewhere
// (through "..", an absolute part or a link), a missing file and anything but a plain file all
// fail like a missing file, so the request text cannot make the gateway send other files of the
// machine to the peer.
//
// The XML text is Qt's serialization without added white space. Text nodes that hold only white
// space are not kept, and the XML declaration loses its encoding: the text is sent as UTF-8 or
// in the plants' code page as the settings say, so the file's encoding no longer describes it.
// A label is built while the gateway does nothing else, so what a template may cost is bounded:
// at most MaxTemplateBytes bytes and MaxTemplateMarkup markup elements (counted as "<"
// characters). Real templates are far below both; a larger one is refused like a template that
// does not parse ("Template too large: ..."), before it is parsed.
constexpr qint64 MaxTemplateBytes = 1024LL * 1024;
constexpr qint64 MaxTemplateMarkup = 20000;

struct XmlTemplate {
    bool ok = false;
    QString xml;
    QString reason;
    QString sourceText;
};

// Reading a template costs about as much as all the rest of a label, so the XML text of a file
// that parsed is kept and given again while the file stays the same (same file, size, modification
// and change times to the nanosecond); any change is read anew.
class XmlTemplateLoader
{
public:
    XmlTemplate load(const QString &folder, const QString &name);

private:
    struct Cached {
        QByteArray stamp;
        QString xml;
    };
    QHash<QString, Cached> m_cache;
};
