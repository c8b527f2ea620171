#include "labels/XmlTemplate.h"

#include "common/Cp1252.h"
#include "labels/XmlTemplateText.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>

#include <sys/stat.h>

namespace
{

constexpr qsizetype MaxCachedTemplates = 64;

XmlTemplate failure(const QString &reason, const QString &sourceText = {})
{
    XmlTemplate t;
    t.reason = reason;
    t.sourceText = sourceText;
    return t;
}

// The path of name under folder, or an empty text when it does not lead to a plain file inside
// folder. Templates are named as on the plants' other machines, so "\" separates folders too.
QString resolveInside(const QString &folder, const QString &name)
{
    const QString base = QFileInfo(folder).canonicalFilePath();
    if (base.isEmpty())
        return {};
    QString relative = name;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QFileInfo info(base + QLatin1Char('/') + relative);
    QString real = info.canonicalFilePath();
    if (real.isEmpty() || !real.startsWith(base + QLatin1Char('/')) || !info.isFile())
        return {};
    return real;
}

// Line `number` (1-based) of the file, without its line end, in UTF-8 when it is valid UTF-8
// and in the plants' code page otherwise.
QString lineOf(const QByteArray &bytes, int number)
{
    qsizetype start = 0;
    for (int n = 1; n < number; ++n) {
        const qsizetype lf = bytes.indexOf('\n', start);
        if (lf < 0)
            return {};
        start = lf + 1;
    }
    qsizetype end = bytes.indexOf('\n', start);
    if (end < 0)
        end = bytes.size();
    QByteArray line = bytes.mid(start, end - start);
    if (line.endsWith('\r'))
        line.chop(1);
    if (number == 1 && line.startsWith("\xEF\xBB\xBF"))
        line.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(line);
    return utf8.hasError() ? cp1252::decode(line) : text;
}

// What identifies one version of a file; empty when it cannot be read.
QByteArray fileStamp(const QString &path)
{
    struct stat st {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    const qint64 fields[] = {qint64(st.st_dev),         qint64(st.st_ino),          qint64(st.st_size),
                             qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec),
                             qint64(st.st_ctim.tv_nsec)};
    return QByteArray(reinterpret_cast<const char *>(fields), sizeof(fields));
}

void dropDeclaredEncoding(QDomDocument &document)
{
    QDomProcessingInstruction declaration = document.firstChild().toProcessingInstruction();
    if (declaration.isNull() || declaration.target() != QLatin1String("xml"))
        return;
    static const QRegularExpression encoding(QStringLiteral(R"(\s*encoding\s*=\s*(['"])[^'"]*\1)"));
    QString data = declaration.data();
    data.remove(encoding);
    declaration.setData(data);
}

} // namespace

XmlTemplate XmlTemplateLoader::load(const QString &folder, const QString &name)
{
    const QString shown = folder + QLatin1Char('/') + name;
    const QString path = resolveInside(folder, name);
    if (path.isEmpty())
        return failure(QStringLiteral("Template not found: ") + shown);
    const QByteArray stamp = fileStamp(path);
    const auto cached = m_cache.constFind(path);
    if (cached != m_cache.cend() && !stamp.isEmpty() && cached->stamp == stamp)
        return XmlTemplate{true, cached->xml, {}, {}};
    m_cache.remove(path);

    QFile file(path);
    const auto tooLarge = [&shown](qint64 count, qint64 limit, const char *what) {
        return failure(QStringLiteral("Template too large: %1 (%2 %3, at most %4)")
                           .arg(shown)
                           .arg(count)
                           .arg(QLatin1String(what))
                           .arg(limit));
    };
    if (file.size() > MaxTemplateBytes)
        return tooLarge(file.size(), MaxTemplateBytes, "bytes");
    if (!file.open(QIODevice::ReadOnly))
        return failure(QStringLiteral("Template cannot be read: ") + shown + QStringLiteral(" (") +
                       file.errorString() + QLatin1Char(')'));
    const QByteArray bytes = file.read(MaxTemplateBytes + 1);
    file.close();
    if (bytes.size() > MaxTemplateBytes) // it grew since its size was taken
        return tooLarge(bytes.size(), MaxTemplateBytes, "bytes");
    // Every element, comment and declaration begins with "<", and each costs the parser far more
    // than a byte of text does: counting them bounds the time a template can take.
    if (const auto marks = std::count(bytes.cbegin(), bytes.cend(), '<'); marks > MaxTemplateMarkup)
        return tooLarge(marks, MaxTemplateMarkup, "markup elements");

    // Most templates are written back in one pass; the rest, and every template that does not
    // parse, go through the document parser.
    std::optional<QString> common = commonTemplateText(bytes);
    if (!common) {
        QDomDocument document;
        QString reason;
        int line = 0;
        int column = 0;
        if (!document.setContent(bytes, &reason, &line, &column))
            return failure(reason, lineOf(bytes, line));
        dropDeclaredEncoding(document);
        common = document.toString(-1);
    }
    const QString xml = std::move(*common);
    // The stamp from before the read: a file changed while it was read is read again next time.
    if (!stamp.isEmpty()) {
        if (m_cache.size() >= MaxCachedTemplates)
            m_cache.clear();
        m_cache.insert(path, Cached{stamp, xml});
    }
    return XmlTemplate{true, xml, {}, {}};
}
