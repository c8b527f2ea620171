#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QTcpServer>

#include <algorithm>
#include <cstdio>
#include <sys/socket.h>
#include <vector>

// What the benchmark programs share: figures of a series, whole reads and writes on a raw socket,
// the PLC runtime stand-in as a child process, and the cost of other processes.

struct Stats {
    double median = 0;
    double p99 = 0;
};

inline Stats stats(std::vector<double> v)
{
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

inline bool readFull(int fd, char *p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

inline bool writeFull(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The gateway of this build, without a window, in its own instance folder: KAVETTA_HOME = home,
// the event log, the options store and the runtime folder under root.
inline void startHeadlessGateway(QProcess &gateway, const QString &root, const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KAVETTA_HEADLESS"), QStringLiteral("1"));
    env.insert(QStringLiteral("KAVETTA_HOME"), home);
    env.insert(QStringLiteral("KAVETTA_EVENTLOG"), root + QStringLiteral("/events.log"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/xdg-home"));
    env.insert(QStringLiteral("XDG_CONFIG_DIRS"), root + QStringLiteral("/xdg"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root);
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("NOTIFY_SOCKET"));
    gateway.setProcessEnvironment(env);
    gateway.start(
        QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../src/kavetta")), {});
}

// "plcsim serve --port 0 --module <module>": the port it listens on, or 0 (with a message).
inline quint16 startPlcSim(QProcess &sim, const QString &program, const QString &module)
{
    sim.start(program, {QStringLiteral("serve"), QStringLiteral("--port"), QStringLiteral("0"),
                        QStringLiteral("--module"), module});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(program));
        return 0;
    }
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("port=(\\d+)")).match(QString::fromUtf8(sim.readLine()));
    if (!m.hasMatch())
        std::fprintf(stderr, "plcsim did not report its port\n");
    return static_cast<quint16>(m.captured(1).toUInt());
}

// CPU time on the scheduler's account (/proc/<pid>/schedstat: nanoseconds on the CPU, not the
// 10 ms tick counters) and resident memory of another process; -1 when it is gone.
inline qint64 cpuNanoseconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/schedstat").arg(pid));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').value(0).toLongLong() : -1;
}

// A memory figure of another process from its status file ("VmRSS:" resident now, "VmHWM:" its
// peak), in MB; -1 when it cannot be read.
inline double statusMegabytes(qint64 pid, const char *field = "VmRSS:")
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const qsizetype skip = qsizetype(qstrlen(field));
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(skip).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

inline double residentMegabytes(qint64 pid)
{
    return statusMegabytes(pid);
}
