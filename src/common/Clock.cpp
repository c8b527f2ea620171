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

quint32 Clock::tickCount() const
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<quint64>(ts.tv_sec) * 1000u + static_cast<quint64>(ts.tv_nsec) / 1000000u;
    return static_cast<quint32>(ms);
}

const Clock &Clock::instance()
{
    return *current;
}

void Clock::setInstance(const Clock *clock)
{
    current = clock ? clock : &systemClock;
}
