#pragma once

#include "common/Clock.h"

// A clock that stands still until a test moves it; installed for the lifetime of the object.
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
    quint32 tickCount() const override { return m_tick; }

    void advance(qint64 ms)
    {
        m_now = m_now.addMSecs(ms);
        m_tick += static_cast<quint32>(ms);
    }
    void setNow(const QDateTime &when) { m_now = when; }
    void setTick(quint32 tick) { m_tick = tick; }

private:
    QDateTime m_now;
    quint32 m_tick = 1000;
};
