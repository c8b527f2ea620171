#pragma once

#include <QtGlobal>

#include <deque>

// The requests sent on the current connection whose answers have not come yet, so that an
// answer reaches the request it belongs to. A peer answers in order: the oldest request still
// owed an answer gets the next one. An answer owed to a request the gateway gave up on is late,
// and one that comes while nothing is owed was never asked for.
class RequestTracker
{
public:
    enum class Arrival { Answer, Late, Unasked };
    // The last request sent, and what the connection count was then.
    struct Ticket {
        quint64 number = 0;
        quint64 endsBefore = 0;
        qint64 sentAtMs = 0;
    };

    void sent(qint64 nowMs);
    Arrival answerArrived();
    // The last request sent is given up; its answer, should it come, is late.
    void giveUp();
    // Nothing more comes on this connection: what was owed is given up for good. cutShort: the
    // connection ended in the middle of an answer.
    void connectionEnded(bool cutShort = false);

    const Ticket &lastSent() const { return m_last; }
    // Whether the request of this ticket has had its answer.
    bool answered(const Ticket &ticket) const { return m_lastAnswered >= ticket.number; }
    quint64 connectionEnds() const { return m_ends; }
    bool lastEndCutShort() const { return m_lastEndCutShort; }
    // Answers still owed to requests that were given up on this connection.
    int lateOwed() const;
    // Whether the next answer belongs to a request still waiting for it.
    bool nextAnswerAwaited() const { return !m_owed.empty() && !m_owed.front().givenUp; }

private:
    struct Owed {
        quint64 number;
        bool givenUp;
    };
    std::deque<Owed> m_owed; // oldest first
    quint64 m_sent = 0;
    quint64 m_lastAnswered = 0;
    quint64 m_ends = 0;
    bool m_lastEndCutShort = false;
    Ticket m_last;
};
