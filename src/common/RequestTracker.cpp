#include "common/RequestTracker.h"

#include <algorithm>

void RequestTracker::sent(qint64 nowMs)
{
    m_last = Ticket{++m_sent, m_ends, nowMs};
    m_owed.push_back({m_sent, false});
}

RequestTracker::Arrival RequestTracker::answerArrived()
{
    if (m_owed.empty())
        return Arrival::Unasked;
    const Owed oldest = m_owed.front();
    m_owed.pop_front();
    if (oldest.givenUp)
        return Arrival::Late;
    m_lastAnswered = oldest.number;
    return Arrival::Answer;
}

void RequestTracker::giveUp()
{
    if (!m_owed.empty() && m_owed.back().number == m_last.number)
        m_owed.back().givenUp = true;
}

int RequestTracker::lateOwed() const
{
    return int(std::count_if(m_owed.begin(), m_owed.end(), [](const Owed &o) { return o.givenUp; }));
}

void RequestTracker::connectionEnded(bool cutShort)
{
    // Requests of an earlier connection are never answered any more; their numbers count as
    // passed, so no ticket of them waits on.
    m_owed.clear();
    ++m_ends;
    m_lastEndCutShort = cutShort;
}
