#pragma once

#include <QObject>
#include <QString>

#include <functional>

class GatewayState;
class LogWriter;
class SocketEndpoint;

// The gateway's handlers of the endpoint's events. They act on the endpoint at once where the
// connection needs it (send the waiting request once connected, take over a new peer, listen
// again after the peer left, fetch arrived data) and leave everything about the queue of
// requests to the supervision cycle, through the flags in the state.
class SocketEvents : public QObject
{
    Q_OBJECT
public:
    // startResponseCycle: called after each data arrival, so that the response cycle runs as
    // soon as the event loop is free.
    SocketEvents(GatewayState &state, SocketEndpoint &socket, LogWriter &log,
                 std::function<void()> startResponseCycle, QObject *parent = nullptr);

    void onError(int number, const QString &description);
    void onDataArrival(qint64 bytesTotal);
    void onConnected();
    void onConnectionRequest(int requestId);
    void onPeerClosed();
    void onSendComplete();

private:
    void report(const QString &message, bool forced = false);
    // "<state>" CR LF description of the pending error, then the error cleared; false when none.
    bool reportPending(const QString &message, bool forced = false);
    QString stateNumber() const;

    GatewayState &m_state;
    SocketEndpoint &m_socket;
    LogWriter &m_log;
    std::function<void()> m_startResponseCycle;
};
