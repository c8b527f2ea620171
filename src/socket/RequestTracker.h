#pragma once

#include <QtGlobal>

#include <deque>

// The requests sent on the current connection whose answers have not come yet, so that an
// answer reaches the request it belongs to. A peer answers in order; an answer that comes while
// a request the gateway gave up on is still owed belongs to that one (it is late), and one that
// comes while nothing is owed was never asked for.
class RequestTracker
{
public:
    enum class Arrival { Answer, Late, Unasked };
    // What was known when the last request went out; a later state tells what happened to it.
    struct Ticket {
        quint64 answersBefore = 0;
        quint64 endsBefore = 0;
        qint64 sentAtMs = 0;
    };

    void sent(qint64 nowMs);
    Arrival answerArrived();
    // The oldest request still owed an answer is given up; its answer, should it come, is late.
    void giveUp();
    // Nothing more comes on this connection: what was owed is given up for good. cutShort: the
    // connection ended in the middle of an answer.
    void connectionEnded(bool cutShort = false);

    const Ticket &lastSent() const { return m_last; }
    quint64 answers() const { return m_answers; }
    quint64 connectionEnds() const { return m_ends; }
    bool lastEndCutShort() const { return m_lastEndCutShort; }
    // Answers owed to requests given up on this connection.
    int lateOwed() const { return m_givenUp; }

private:
    std::deque<qint64> m_owed; // send times, oldest first
    int m_givenUp = 0;
    quint64 m_answers = 0;
    quint64 m_ends = 0;
    bool m_lastEndCutShort = false;
    Ticket m_last;
};
