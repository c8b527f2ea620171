#pragma once

#include <QFile>
#include <QString>

// CPU time on the scheduler's account (/proc/<pid>/schedstat: nanoseconds on the CPU, not the
// 10 ms tick counters) and resident memory of another process; -1 when it is gone.
inline qint64 cpuNanoseconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/schedstat").arg(pid));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').value(0).toLongLong() : -1;
}

inline double residentMegabytes(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}
