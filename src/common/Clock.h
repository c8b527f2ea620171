#pragma once

#include <QDateTime>
#include <QtGlobal>

// The gateway's one source of wall-clock time and of the monotonic clock.
// Wall-clock time is for the texts that show a date or time; every age, interval and time-out
// is measured on the monotonic clock, which no NTP correction or operator moves.
// Tests install a clock of their own (see tests/support/TestClock.h) so that rules of 2 s,
// 10 s or 365 days run in milliseconds.
class Clock
{
public:
    virtual ~Clock() = default;

    virtual QDateTime now() const;
    // CLOCK_MONOTONIC in milliseconds.
    virtual qint64 monotonicMs() const;
    // The same truncated to 32 bits: it wraps after 49.7 days, and every user of it computes
    // differences modulo 2^32.
    virtual quint32 tickCount() const;

    static const Clock &instance();
    // Replaces the clock; nullptr restores the system clock. The caller keeps ownership.
    static void setInstance(const Clock *clock);
};

inline QDateTime currentDateTime()
{
    return Clock::instance().now();
}

inline qint64 monotonicMs()
{
    return Clock::instance().monotonicMs();
}

inline quint32 tickCount()
{
    return Clock::instance().tickCount();
}
