#include "labels/LabelBuilder.h"

#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/StatusLine.h"
#include "labels/PrintDataLookup.h"
#include "socket/SocketEndpoint.h"
#include "socket/Utf8Wire.h"

#include <cmath>

namespace
{

const QString VersionPlaceholder = QStringLiteral("#version#");
const QString JobNamePlaceholder = QStringLiteral("#jobname#");

// The argument of a request: the piece between its first and second "=", cut at "#". Empty
// when the request has no "=".
QStringList requestFields(const QString &request)
{
    const QStringList pieces = request.split(QLatin1Char('='));
    if (pieces.size() < 2)
        return {};
    return pieces.at(1).split(QLatin1Char('#'));
}

// The document text with a case-folded copy beside it, so that placeholders (matched without
// regard to letter case) are found by plain searches. Qt's case-insensitive search folds both
// sides again at every comparison, which made up most of the time of a label.
class FoldedText
{
public:
    explicit FoldedText(const QString &text) : m_text(text), m_folded(text.toCaseFolded()) {}

    const QString &text() const { return m_text; }
    bool contains(const QString &placeholder) const { return m_folded.contains(placeholder.toCaseFolded()); }

    // Replaces every occurrence of placeholder, in any letter case, by value; the values put in
    // are not searched again.
    void replace(const QString &placeholder, const QString &value)
    {
        const QString needle = placeholder.toCaseFolded();
        qsizetype at = m_folded.indexOf(needle);
        if (at < 0)
            return;
        const QString foldedValue = value.toCaseFolded();
        QString text, folded;
        qsizetype done = 0;
        for (; at >= 0; at = m_folded.indexOf(needle, done)) {
            text.append(QStringView(m_text).mid(done, at - done)).append(value);
            folded.append(QStringView(m_folded).mid(done, at - done)).append(foldedValue);
            done = at + needle.size();
        }
        m_text = text.append(QStringView(m_text).mid(done));
        m_folded = folded.append(QStringView(m_folded).mid(done));
    }

private:
    QString m_text;
    QString m_folded;
};

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

qint32 LabelBuilder::reject(const QString &message)
{
    m_state.setLblError(statusLine(message));
    return 1;
}

void LabelBuilder::queueDocument(QString text)
{
    // The report shows the document as built, before any UTF-8 encoding and without header.
    reportStatus(m_state, m_log,
                 QStringLiteral("RAW Data: Content-Length: ") + QString::number(text.size()) +
                     QStringLiteral("\n\n") + text + QLatin1Char('/') + QString::number(m_socket.State()));
    if (m_state.chkUTF8 != 0)
        text = encodeUTF8(std::move(text));
    m_state.sendQueue.append(QStringLiteral("Content-Length: ") + QString::number(text.size()) +
                             QStringLiteral("\n\n") + text);
    m_state.notify();
}

qint32 LabelBuilder::setLabelContent(const QString &request)
{
    const QStringList fields = requestFields(request);
    if (fields.size() < 4)
        return reject(QStringLiteral("Error Parsing Content :") + request);

    const QString &version = fields.at(0);
    const QString templateName = fields.at(1).isEmpty() ? QStringLiteral("defaultLabel.xml") : fields.at(1);
    const QString printData = m_printData.getDruckData(fields.at(2), partNumber(fields.at(3)));

    const XmlTemplate label = m_templates.load(m_labelFolder, templateName);
    if (!label.ok)
        return reject(parseErrorText(label));
    FoldedText text(label.xml);
    text.replace(VersionPlaceholder, version);

    // An empty print data text has no lines at all (it is reported below, not rejected here).
    const QStringList lines = printData.isEmpty() ? QStringList() : printData.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.isEmpty())
            return reject(QStringLiteral("Error Parsing Content (Empty) :") + printData);
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return reject(QStringLiteral("Error Parsing Content (No = found) :") + printData);
        QString value = line.mid(equals + 1);
        if (value.isEmpty())
            return reject(QStringLiteral("Error Parsing Content (No = found or no Value) :") + printData);
        value.remove(QLatin1Char('\r'));
        const QString symbol = line.left(equals);
        const QString placeholder = QLatin1Char('#') + symbol + QLatin1Char('#');
        if (!text.contains(placeholder)) {
            m_log.writeLog(statusLine(QStringLiteral("Error Parsing Content (Symbol not found) :") + symbol),
                           false);
            continue;
        }
        text.replace(placeholder, value);
    }

    QString document = text.text();
    if (printData.isEmpty()) {
        m_log.writeLog(statusLine(QStringLiteral("Error no print data found!")), false);
        document.remove(QLatin1Char('#'));
    }

    queueDocument(std::move(document));
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
    FoldedText text(job.xml);
    text.replace(VersionPlaceholder, fields.at(0));
    text.replace(JobNamePlaceholder, fields.at(1));

    queueDocument(text.text());
    return 0;
}
