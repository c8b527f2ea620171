#include "socket/AnswerFramer.h"

namespace
{

// A length header longer than this is not a header: the peer speaks another protocol.
constexpr qsizetype MaxHeaderBytes = 1024;

// The end of the header at the front of text: the index after its empty line, or -1.
qsizetype headerEnd(const QString &text)
{
    for (qsizetype i = text.indexOf(QLatin1Char('\n')); i >= 0; i = text.indexOf(QLatin1Char('\n'), i + 1)) {
        if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
            return i + 2;
        if (i + 2 < text.size() && text.at(i + 1) == QLatin1Char('\r') && text.at(i + 2) == QLatin1Char('\n'))
            return i + 3;
    }
    return -1;
}

// The value of the Content-Length line of a header; -1 when there is none or it is no number.
qint64 contentLength(QStringView header)
{
    static const QString name = QStringLiteral("Content-Length:");
    for (QStringView line : header.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (!line.startsWith(name, Qt::CaseInsensitive))
            continue;
        bool ok = false;
        const qint64 value = line.mid(name.size()).trimmed().toLongLong(&ok);
        return ok && value >= 0 ? value : -1;
    }
    return -1;
}

} // namespace

AnswerFramer::AnswerFramer(AnswerFraming framing, const QString &terminator, qint64 maxBytes)
    : m_framing(framing), m_terminator(framing == AnswerFraming::Line ? QStringLiteral("\n") : terminator),
      m_maxBytes(maxBytes)
{
    if (m_terminator.isEmpty())
        m_terminator = QStringLiteral("\n");
}

AnswerFramer::Result AnswerFramer::feed(const QString &data)
{
    Result out;
    m_buffer += data;
    if (m_framing == AnswerFraming::Length)
        feedLength(out);
    else
        feedDelimited(out);
    return out;
}

void AnswerFramer::feedDelimited(Result &out)
{
    for (;;) {
        const qsizetype at = m_buffer.indexOf(m_terminator);
        if (at < 0) {
            if (!m_skipToEnd && m_buffer.size() > m_maxBytes) {
                out.problems.append({Problem::TooLarge, m_buffer.size(), out.answers.size()});
                m_skipToEnd = true;
            }
            // While an answer is thrown away, only what could begin its terminator is kept.
            if (m_skipToEnd)
                m_buffer.remove(0, qMax<qsizetype>(0, m_buffer.size() - (m_terminator.size() - 1)));
            return;
        }
        QString answer = m_buffer.left(at);
        m_buffer.remove(0, at + m_terminator.size());
        if (std::exchange(m_skipToEnd, false))
            continue;
        if (m_framing == AnswerFraming::Line && answer.endsWith(QLatin1Char('\r')))
            answer.chop(1);
        if (answer.size() > m_maxBytes)
            out.problems.append({Problem::TooLarge, answer.size(), out.answers.size()});
        else if (!answer.isEmpty()) // blank lines between answers say nothing
            out.answers.append(answer);
    }
}

void AnswerFramer::feedLength(Result &out)
{
    for (;;) {
        if (m_skip > 0) {
            const qint64 n = qMin<qint64>(m_skip, m_buffer.size());
            m_buffer.remove(0, n);
            m_skip -= n;
            if (m_skip > 0)
                return;
        }
        if (m_bodyLength < 0) {
            // Line ends left over between two answers are no header.
            qsizetype lead = 0;
            while (lead < m_buffer.size() &&
                   (m_buffer.at(lead) == QLatin1Char('\r') || m_buffer.at(lead) == QLatin1Char('\n')))
                ++lead;
            m_buffer.remove(0, lead);
            const qsizetype end = headerEnd(m_buffer);
            if (end < 0) {
                if (m_buffer.size() > MaxHeaderBytes) {
                    out.problems.append({Problem::BadHeader, m_buffer.size(), out.answers.size()});
                    m_buffer.clear();
                    m_lostStep = true;
                }
                return;
            }
            const qint64 length = contentLength(QStringView(m_buffer).left(end));
            m_headerBytes = end;
            m_buffer.remove(0, end);
            if (length < 0) {
                out.problems.append({Problem::BadHeader, m_headerBytes, out.answers.size()});
                m_headerBytes = 0;
                m_lostStep = true;
                continue;
            }
            if (length > m_maxBytes) {
                out.problems.append({Problem::TooLarge, length, out.answers.size()});
                m_headerBytes = 0;
                m_skip = length;
                continue;
            }
            m_bodyLength = length;
        }
        if (m_buffer.size() < m_bodyLength)
            return;
        const QString answer = m_buffer.left(m_bodyLength);
        m_buffer.remove(0, m_bodyLength);
        m_bodyLength = -1;
        m_headerBytes = 0;
        if (!answer.isEmpty())
            out.answers.append(answer);
    }
}

qint64 AnswerFramer::end()
{
    const bool skipping = m_skip > 0 || m_skipToEnd;
    const qint64 partial = skipping ? 0 : m_buffer.size() + m_headerBytes;
    m_buffer.clear();
    m_skip = 0;
    m_skipToEnd = false;
    m_bodyLength = -1;
    m_headerBytes = 0;
    m_lostStep = false;
    return partial;
}
