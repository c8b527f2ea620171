#pragma once

#include "common/SafetyOptions.h"

#include <QString>
#include <QStringList>

// Joins what the peer sends into whole answers. The endpoint hands over whatever the network
// delivered at once: a printer that answers in pieces, or two answers that arrive together,
// would otherwise reach the PLC as fragments or as one value. Texts here are the endpoint's:
// one character per received byte.
//
//   line        an answer ends with LF; a CR before it is dropped too
//   terminator  an answer ends with the configured bytes, which are not part of it
//   length      "Content-Length: <n>" and an empty line (LF LF or CR LF CR LF), then n bytes:
//               the n bytes are the answer, as the label frames are built
//
// An answer longer than the maximum is dropped whole (what of it arrived and what still comes)
// and said once; so is a length header that cannot be read. What was still incomplete when the
// connection ended is given back by end(), never as an answer. After such a bad frame the
// framer may no longer know where the next answer begins (outOfStep): an oversized answer
// whose end has not come, a length nobody can trust, a body of unknown length.
class AnswerFramer
{
public:
    struct Problem {
        enum Kind { TooLarge, BadHeader } kind;
        qint64 bytes;            // the answer's size as far as known (TooLarge), or what was dropped
        qsizetype answersBefore; // the answers of the same feed that came before it
    };
    struct Result {
        QStringList answers;
        QList<Problem> problems;
    };

    // The framing is never Chunk here: chunks need no framer.
    AnswerFramer(AnswerFraming framing, const QString &terminator, qint64 maxBytes);

    Result feed(const QString &data);
    // The connection ended: the bytes of an answer that was still incomplete (0 when none was),
    // and the framer empty for the next connection.
    qint64 end();
    // True after a bad frame while the stream may be out of step: only a new connection is sure
    // to begin with an answer again.
    bool outOfStep() const { return m_skip > 0 || m_skipToEnd || m_lostStep; }
    // True while part of an answer is in hand.
    bool inAnswer() const { return !m_buffer.isEmpty() || m_bodyLength >= 0 || m_skip > 0 || m_skipToEnd; }

private:
    void feedDelimited(Result &out);
    void feedLength(Result &out);

    AnswerFraming m_framing;
    QString m_terminator;
    qint64 m_maxBytes;
    QString m_buffer;
    // Bytes of an oversized answer still to come and be thrown away (length framing).
    qint64 m_skip = 0;
    // An oversized answer is being thrown away up to its terminator (line and terminator).
    bool m_skipToEnd = false;
    // Length framing: the body length once the header has been read; -1 while in the header.
    qint64 m_bodyLength = -1;
    qint64 m_headerBytes = 0; // of the answer whose body is awaited
    // Length framing: a header without a readable length was dropped; its body, if any, follows.
    bool m_lostStep = false;
};
