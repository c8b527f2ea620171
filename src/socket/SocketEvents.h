#pragma once

#include "common/PeerFailure.h"
#include "socket/AnswerFramer.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

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
    // The endpoint's state: a connection that ends gives up what was owed on it.
    void onStateChanged(int state);

    // Where failures of the peer side are reported to the PLC (reportPeerFailures).
    void setFailureReport(PeerFailureReport report) { m_failureReport = std::move(report); }

private:
    void received(const QString &data);
    void answerArrived(const QString &answer);
    void badFrame(const AnswerFramer::Problem &problem);
    void connectionEnded();
    // A failure told to the PLC whose log record this path has written already (a drop record,
    // a forced status line): the one record of the event.
    void tellPlc(PeerFailure code, const QString &message);
    // A failure that has no record yet: told to the PLC, it is logged with the text the PLC gets.
    void failure(PeerFailure code, const QString &message);

    void report(const QString &message, bool forced = false);
    // "<state>" CR LF description of the pending error, then the error cleared; false when none.
    bool reportPending(const QString &message, bool forced = false);
    QString stateNumber() const;

    GatewayState &m_state;
    SocketEndpoint &m_socket;
    LogWriter &m_log;
    std::function<void()> m_startResponseCycle;
    PeerFailureReport m_failureReport;
    // Joins the pieces into answers unless every piece is an answer (answerFraming = chunk);
    // made anew when the options change.
    std::optional<AnswerFramer> m_framer;
    QString m_framerKey;
    bool m_connected = false;
};
