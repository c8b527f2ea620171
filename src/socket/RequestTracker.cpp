#include "socket/RequestTracker.h"

void RequestTracker::sent(qint64 nowMs)
{
    m_last = Ticket{m_answers, m_ends, nowMs};
    m_owed.push_back(nowMs);
}

RequestTracker::Arrival RequestTracker::answerArrived()
{
    if (m_givenUp > 0) {
        --m_givenUp;
        return Arrival::Late;
    }
    if (m_owed.empty())
        return Arrival::Unasked;
    m_owed.pop_front();
    ++m_answers;
    return Arrival::Answer;
}

void RequestTracker::giveUp()
{
    if (m_owed.empty())
        return;
    m_owed.pop_front();
    ++m_givenUp;
}

void RequestTracker::connectionEnded(bool cutShort)
{
    m_owed.clear();
    m_givenUp = 0;
    ++m_ends;
    m_lastEndCutShort = cutShort;
}
