#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// Tells the service manager how the gateway is doing: ready after the load, alive on every
// supervision tick, a one-line status, reloading on a configuration reload, stopping in the
// unload. Outside a service (no notification socket in the environment) every call does
// nothing and returns false, so the desktop program can make the same calls.
class ServiceNotifier
{
public:
    // Reads the environment once: the notification socket and whether the unit asked for a
    // watchdog (and for this process).
    ServiceNotifier();

    bool underServiceManager() const { return m_underServiceManager; }
    bool watchdogRequested() const { return m_watchdogInterval.count() > 0; }
    // The unit's watchdog time-out; zero when none was asked for.
    std::chrono::microseconds watchdogInterval() const { return m_watchdogInterval; }

    // Each returns true when the notification was delivered.
    bool ready();
    // Sends only when the unit asked for a watchdog; calling it on every tick is cheap.
    bool watchdog();
    // The text is sent as one line: control characters become blanks, so a status can never
    // smuggle in another assignment such as READY=1.
    bool status(const QString &text);
    // A configuration reload has begun; ready() ends it.
    bool reloading();
    bool stopping();

    // The status assignment exactly as it goes out (for tests and logs).
    static QByteArray statusAssignment(const QString &text);

private:
    bool send(const QByteArray &assignments);

    bool m_underServiceManager = false;
    std::chrono::microseconds m_watchdogInterval{0};
};
