#include "labels/LabelBuilder.h"

#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/StatusLine.h"
#include "labels/PrintDataLookup.h"
#include "socket/SocketEndpoint.h"
#include "socket/Utf8Wire.h"

#include <QStringBuilder>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace
{

constexpr qsizetype MaxKeptTemplates = 64;

// The argument of a request: the piece between its first and second "=", cut at "#". Empty
// when the request has no "=".
QStringList requestFields(const QString &request)
{
    const QStringList pieces = request.split(QLatin1Char('='));
    if (pieces.size() < 2)
        return {};
    return pieces.at(1).split(QLatin1Char('#'));
}

QString parseErrorText(const XmlTemplate &t)
{
    return t.reason + QStringLiteral("\r\n") + t.sourceText;
}

} // namespace

LabelBuilder::LabelBuilder(GatewayState &state, LogWriter &log, const SocketEndpoint &socket,
                           PrintDataLookup &printData, const QString &programFolder)
    : m_state(state), m_log(log), m_socket(socket), m_printData(printData),
      m_labelFolder(programFolder + QStringLiteral("/Labels"))
{
}

qint16 LabelBuilder::partNumber(const QString &field)
{
    bool ok = false;
    const double value = field.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return 0;
    const double rounded = std::nearbyint(value); // the default rounding mode: ties to even
    if (rounded < -32768.0 || rounded > 32767.0)
        return 0;
    return static_cast<qint16>(rounded);
}

const PlaceholderText &LabelBuilder::placeholders(const QString &name, const QString &xml)
{
    // The loader gives the same shared text while the file stays the same; a text that is not
    // that one came from a changed file. Shared texts are never changed in place.
    auto entry = m_placeholders.find(name);
    if (entry != m_placeholders.end() && entry->text().isSharedWith(xml) &&
        entry->text().constData() == xml.constData() && entry->text().size() == xml.size())
        return *entry;
    if (entry == m_placeholders.end() && m_placeholders.size() >= MaxKeptTemplates)
        m_placeholders.clear();
    return *m_placeholders.insert(name, PlaceholderText(xml));
}

qint32 LabelBuilder::reject(const QString &message)
{
    m_state.setLblError(statusLine(message));
    return 1;
}

void LabelBuilder::queueDocument(QString text)
{
    // The report shows the document as built, before any UTF-8 encoding and without header. It
    // copies the whole document, so it is made only when it is shown.
    if (m_state.settings.statusReport != 0)
        reportStatus(m_state, m_log,
                     QStringLiteral("RAW Data: Content-Length: ") % QString::number(text.size()) %
                         QStringLiteral("\n\n") % text % QLatin1Char('/') %
                         QString::number(m_socket.state()));
    // Text in ASCII is its own UTF-8; most labels are, and encoding costs as much as the fill.
    if (m_state.settings.sendUtf8 &&
        !std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; }))
        text = encodeUTF8(std::move(text));
    // The frame is the document itself with the header put in front: the text grows in place
    // (a large one is only remapped) and moves up, so a label is never held twice.
    const QString header =
        QStringLiteral("Content-Length: ") + QString::number(text.size()) + QStringLiteral("\n\n");
    const qsizetype size = text.size();
    text.resize(size + header.size());
    QChar *const frame = text.data();
    std::memmove(frame + header.size(), frame, size_t(size) * sizeof(QChar));
    std::copy(header.cbegin(), header.cend(), frame);
    m_state.queueSend(text);
    m_state.notify();
}

qint32 LabelBuilder::setLabelContent(const QString &request)
{
    const QStringList fields = requestFields(request);
    if (fields.size() < 4)
        return reject(QStringLiteral("Error Parsing Content :") + request);

    const QString templateName = fields.at(1).isEmpty() ? QStringLiteral("defaultLabel.xml") : fields.at(1);
    const QString printData = m_printData.getDruckData(fields.at(2), partNumber(fields.at(3)));
    if (const QString refused = m_printData.refusal(); !refused.isEmpty())
        return reject(refused);
    // requirePrintData: a label without its print data would go out with its placeholders as
    // plain words, and the PLC would hear nothing of it.
    if (printData.isEmpty() && m_state.safety.requirePrintData) {
        m_log.writeLog(statusLine(QStringLiteral("Error no print data found!")), false);
        return reject(QStringLiteral("Error no print data found!"));
    }

    const XmlTemplate label = m_templates.load(m_labelFolder, templateName);
    if (!label.ok)
        return reject(parseErrorText(label));
    FilledLabel filled = fillLabel(placeholders(templateName, label.xml), fields.at(0), printData);
    for (const QString &symbol : std::as_const(filled.notFound))
        m_log.writeLog(statusLine(QStringLiteral("Error Parsing Content (Symbol not found) :") + symbol),
                       false);
    if (filled.rejected)
        return reject(filled.text);
    if (printData.isEmpty())
        m_log.writeLog(statusLine(QStringLiteral("Error no print data found!")), false);

    queueDocument(std::move(filled.text));
    return 0;
}

qint32 LabelBuilder::setJob(const QString &request)
{
    const QStringList fields = requestFields(request);
    if (fields.size() < 2)
        return reject(QStringLiteral("Error Parsing Content :") + request);

    const XmlTemplate job = m_templates.load(m_labelFolder, QStringLiteral("defaultSetJob.xml"));
    if (!job.ok)
        return reject(parseErrorText(job));
    const QString version = fields.at(0).toCaseFolded(), jobName = fields.at(1).toCaseFolded();
    const std::vector<Substitution> subs{{u"version", u"version", fields.at(0), version},
                                         {u"jobname", u"jobname", fields.at(1), jobName}};
    std::vector<char> found;
    queueDocument(placeholders(QStringLiteral("defaultSetJob.xml"), job.xml).substitute(subs, found));
    return 0;
}
