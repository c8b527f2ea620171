#pragma once

#include <QElapsedTimer>
#include <QEvent>
#include <QMetaEnum>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>

// The program's application object. With KAVETTA_HANDLER_TIMING=1 in the environment it times
// every event that the event loop hands to a handler on the gateway's thread (a timer tick, a
// socket or PLC-link event, a signal, an operator action), and when the program ends it writes
// the longest one to standard error, in wall-clock time and, since other work on a busy machine
// stretches that, also the longest in CPU time of the gateway's thread:
//
//   kavetta: longest handler 12.3 ms (QTimer "Timer1", Timer) of 48211 events; 9.8 ms CPU
//
// It is how the promise that no handler holds the gateway for long is measured on the real
// program (bench/bench_line_safety). Off, it costs one test per event.
template <typename Application> class TimedApplication : public Application
{
public:
    TimedApplication(int &argc, char **argv)
        : Application(argc, argv), m_enabled(qEnvironmentVariableIntValue("KAVETTA_HANDLER_TIMING") == 1)
    {
    }
    ~TimedApplication() override
    {
        if (!m_enabled)
            return;
        const char *type = QMetaEnum::fromType<QEvent::Type>().valueToKey(m_longestType);
        std::fprintf(stderr, "kavetta: longest handler %.1f ms (%s \"%s\", %s) of %llu events; %.1f ms CPU\n",
                     double(m_longestNs) / 1e6, m_longestClass.constData(), m_longestName.constData(),
                     type ? type : "?", static_cast<unsigned long long>(m_events),
                     double(m_longestCpuNs) / 1e6);
    }

    bool notify(QObject *receiver, QEvent *event) override
    {
        // Events sent from inside a handler belong to that handler's time.
        if (!m_enabled || m_inside || QThread::currentThread() != this->thread())
            return Application::notify(receiver, event);
        const int type = event->type();
        // Taken before the call: a handler may delete its own receiver.
        const char *className = receiver->metaObject()->className();
        const QString name = receiver->objectName();
        m_inside = true;
        QElapsedTimer timer;
        timer.start();
        const qint64 cpuStart = threadCpuNs();
        const bool result = Application::notify(receiver, event);
        const qint64 ns = timer.nsecsElapsed();
        m_longestCpuNs = std::max(m_longestCpuNs, threadCpuNs() - cpuStart);
        m_inside = false;
        ++m_events;
        if (ns > m_longestNs) {
            m_longestNs = ns;
            m_longestType = type;
            m_longestClass = className;
            m_longestName = name.toUtf8();
        }
        return result;
    }

private:
    static qint64 threadCpuNs()
    {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }

    bool m_enabled;
    bool m_inside = false;
    quint64 m_events = 0;
    qint64 m_longestNs = 0;
    qint64 m_longestCpuNs = 0;
    int m_longestType = 0;
    QByteArray m_longestClass, m_longestName;
};
