#include "status/RequestBounds.h"

#include <QList>

namespace
{

// Where the empty line that ends a head ends in head, searching from `from`; -1 while there is
// none. Lines end with CR LF, or with LF alone as lenient parsers take them.
qsizetype headEnd(const QByteArray &head, qsizetype from)
{
    for (qsizetype i = head.indexOf('\n', from); i >= 0; i = head.indexOf('\n', i + 1)) {
        if (i + 1 < head.size() && head[i + 1] == '\n')
            return i + 2;
        if (i + 2 < head.size() && head[i + 1] == '\r' && head[i + 2] == '\n')
            return i + 3;
    }
    return -1;
}

} // namespace

RequestBounds::Verdict RequestBounds::feed(const QByteArray &bytes)
{
    qsizetype pos = 0;
    while (m_verdict == Verdict::Ok && pos < bytes.size()) {
        if (m_bodyLeft > 0) {
            const qsizetype take = qsizetype(qMin<qint64>(m_bodyLeft, bytes.size() - pos));
            m_bodyLeft -= take;
            pos += take;
            if (m_bodyLeft == 0)
                ++m_requests;
            continue;
        }
        // Empty lines between requests are no part of a head.
        if (m_head.isEmpty() && (bytes[pos] == '\r' || bytes[pos] == '\n')) {
            ++pos;
            continue;
        }
        const qsizetype had = m_head.size();
        // One byte more than a head may have: enough to tell that it is too long.
        m_head += bytes.mid(pos, m_maxHead + 1 - had);
        const qsizetype end = headEnd(m_head, qMax<qsizetype>(0, had - 2));
        if (end < 0) {
            if (m_head.size() > m_maxHead)
                m_verdict = Verdict::HeadTooLarge;
            pos = bytes.size();
            continue;
        }
        pos += end - had;
        m_verdict = end > m_maxHead ? Verdict::HeadTooLarge : headDone(end);
    }
    return m_verdict;
}

RequestBounds::Verdict RequestBounds::headDone(qsizetype headLength)
{
    const QByteArray head = m_head.left(headLength);
    m_head.clear();
    qint64 length = 0;
    const QList<QByteArray> lines = head.split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "transfer-encoding" && value.toLower().contains("chunked"))
            return Verdict::LengthRequired;
        if (name == "content-length") {
            bool ok = false;
            length = value.toLongLong(&ok);
            // A length that is no number is the HTTP server's to answer (400); it takes no body.
            if (!ok || length < 0)
                length = 0;
        }
    }
    if (length > m_maxBody)
        return Verdict::BodyTooLarge;
    m_bodyLeft = length;
    if (length == 0)
        ++m_requests;
    return Verdict::Ok;
}
