#pragma once

#include "plc/KeloLink.h"

class QHostAddress;
class QSocketNotifier;

// The target properties that both real PLC links keep the same way: netId, netId2 (used only
// while netId is empty) and port. A change that moves the target calls targetChanged.
class TargetedLink : public KeloLink
{
public:
    using KeloLink::KeloLink;

    QString netId() const override { return m_netId; }
    void setNetId(const QString &value) override
    {
        if (value == m_netId)
            return;
        m_netId = value;
        targetChanged();
    }
    QString netId2() const override { return m_netId2; }
    void setNetId2(const QString &value) override
    {
        if (value == m_netId2)
            return;
        m_netId2 = value;
        if (m_netId.trimmed().isEmpty())
            targetChanged();
    }
    QString port() const override { return m_port; }
    void setPort(const QString &value) override
    {
        if (value == m_port)
            return;
        m_port = value;
        targetChanged();
    }

protected:
    // The address the link connects to.
    QString targetAddress() const { return m_netId.trimmed().isEmpty() ? m_netId2 : m_netId; }
    virtual void targetChanged() = 0;

    // A non-blocking TCP socket (no delay on small writes) whose connect has been started:
    // the descriptor, or -1 with errno set. connectedAtOnce tells a connect that needed no wait.
    static int startConnect(const QHostAddress &address, quint16 port, bool &connectedAtOnce);
    // A started connect has finished well: no socket error, and not a connection to itself.
    static bool connectSucceeded(int fd);
    // Waits at most ms for a started connect: 1 connected, 0 timed out, -1 failed.
    static int awaitConnect(int fd, int ms);
    // Stops and drops a socket notifier (later: it may be the one whose signal is running).
    static void releaseNotifier(QSocketNotifier *&notifier);

    QString m_netId;
    QString m_netId2;
    QString m_port;
};
