#include "common/Clock.h"

#include <ctime>

namespace
{
const Clock systemClock;
const Clock *current = &systemClock;
} // namespace

QDateTime Clock::now() const
{
    return QDateTime::currentDateTime();
}

qint64 Clock::monotonicMs() const
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + qint64(ts.tv_nsec) / 1000000;
}

quint32 Clock::tickCount() const
{
    return static_cast<quint32>(monotonicMs());
}

const Clock &Clock::instance()
{
    return *current;
}

void Clock::setInstance(const Clock *clock)
{
    current = clock ? clock : &systemClock;
}
