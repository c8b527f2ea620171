#include "platform/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

ServiceNotifier::ServiceNotifier()
{
    m_underServiceManager = !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
    uint64_t usec = 0;
    // The environment stays set: a later reader (or a test) sees the same answer.
    if (sd_watchdog_enabled(0, &usec) > 0)
        m_watchdogInterval = std::chrono::microseconds(usec);
}

bool ServiceNotifier::ready()
{
    return send(QByteArrayLiteral("READY=1"));
}

bool ServiceNotifier::watchdog()
{
    if (!watchdogRequested())
        return false;
    return send(QByteArrayLiteral("WATCHDOG=1"));
}

bool ServiceNotifier::status(const QString &text)
{
    return send(statusAssignment(text));
}

bool ServiceNotifier::reloading()
{
    return send(QByteArrayLiteral("RELOADING=1"));
}

bool ServiceNotifier::stopping()
{
    return send(QByteArrayLiteral("STOPPING=1"));
}

QByteArray ServiceNotifier::statusAssignment(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return QByteArrayLiteral("STATUS=") + line.toUtf8();
}

bool ServiceNotifier::send(const QByteArray &assignments)
{
    if (!m_underServiceManager)
        return false;
    // A failed notification must not disturb the gateway: the service manager notices a
    // missing readiness or watchdog by itself.
    return sd_notify(0, assignments.constData()) > 0;
}
