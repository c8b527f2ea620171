#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

class GatewayState;
class KeloLink;
class LogWriter;
class SocketEndpoint;

// Seconds since local midnight on the gateway's clock, with milliseconds.
double secondsSinceMidnight();

// The socket supervision cycle: one tick every 500 ms shows the endpoint's state, reports it to
// the PLC and drives the endpoint. In the server role it restarts listening when the endpoint
// has been out of the accepted states for more than 10 seconds; in the client role it keeps a
// static connection alive, starts the next queued request at least 2 seconds after the previous
// one and ends requests that take longer than the time-out. The endpoint's events meet it only
// through the flags in the state.
class SocketSupervision
{
public:
    SocketSupervision(GatewayState &state, SocketEndpoint &socket, KeloLink &link, LogWriter &log);

    // The first step of every tick: the window's part (a minimised window hides into the tray).
    void setWindowStep(std::function<void()> step) { m_windowStep = std::move(step); }

    void tick();

    // The request in progress began then; invalid when none is.
    QDateTime requestStart() const { return m_requestStart; }
    int connectTry() const { return m_connectTry; }

private:
    void serverBranch(QString &label);
    void clientBranch(QString &label);
    void nextRequest(QString &label);
    void report(const QString &message, bool forced = false);
    // The state number for a message, taken when the message is built.
    QString stateNumber() const;
    qint64 requestAge() const;

    GatewayState &m_state;
    SocketEndpoint &m_socket;
    KeloLink &m_link;
    LogWriter &m_log;
    std::function<void()> m_windowStep;

    QDateTime m_requestStart;
    qint32 m_connectTry = 0;
};
