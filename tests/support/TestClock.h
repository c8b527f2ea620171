#pragma once

#include "common/Clock.h"

// A clock that stands still until a test moves it; installed for the lifetime of the object.
// advance() moves the wall clock and the monotonic clock together; setNow() steps the wall clock
// alone, as an NTP correction or an operator does.
class TestClock : public Clock
{
public:
    explicit TestClock(const QDateTime &start = QDateTime(QDate(2026, 12, 5), QTime(10, 0, 0))) : m_now(start)
    {
        Clock::setInstance(this);
    }
    ~TestClock() override { Clock::setInstance(nullptr); }
    TestClock(const TestClock &) = delete;
    TestClock &operator=(const TestClock &) = delete;

    QDateTime now() const override { return m_now; }
    qint64 monotonicMs() const override { return m_monotonic; }
    quint32 tickCount() const override { return m_tick; }

    void advance(qint64 ms)
    {
        m_now = m_now.addMSecs(ms);
        m_monotonic += ms;
        m_tick += static_cast<quint32>(ms);
    }
    void setNow(const QDateTime &when) { m_now = when; }
    void setTick(quint32 tick) { m_tick = tick; }

private:
    QDateTime m_now;
    qint64 m_monotonic = 5'000'000;
    quint32 m_tick = 1000;
};
