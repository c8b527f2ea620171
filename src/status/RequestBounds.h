#pragma once

#include <QByteArray>

// Follows the bytes a client sends on one connection to the status endpoint, request after
// request, and says when a request goes beyond what the endpoint takes: a head (request line and
// header fields) longer than maxHead bytes, or a body longer than maxBody bytes (or one without a
// length). It keeps at most maxHead bytes of the head in hand, whatever the client sends.
class RequestBounds
{
public:
    enum class Verdict { Ok, HeadTooLarge, BodyTooLarge, LengthRequired };

    RequestBounds(qsizetype maxHead, qsizetype maxBody) : m_maxHead(maxHead), m_maxBody(maxBody) {}

    // The next bytes of the connection. Once a verdict other than Ok is given, the connection is
    // to be refused and later bytes are not looked at.
    Verdict feed(const QByteArray &bytes);

    // True while a request has begun and is not yet whole.
    bool inRequest() const { return !m_head.isEmpty() || m_bodyLeft > 0; }
    // Requests whole so far.
    qsizetype requests() const { return m_requests; }

private:
    Verdict headDone(qsizetype headLength);

    qsizetype m_maxHead;
    qsizetype m_maxBody;
    QByteArray m_head;
    qint64 m_bodyLeft = 0;
    qsizetype m_requests = 0;
    Verdict m_verdict = Verdict::Ok;
};
