#pragma once

#include "common/PeerFailure.h"

#include <QString>

#include <functional>
#include <optional>

class GatewayState;
class LogWriter;
class SocketEndpoint;

// The socket supervision cycle: one tick every 500 ms shows the endpoint's state, reports it for
// the PLC and drives the endpoint. In the server role it restarts listening when the endpoint
// has been out of the accepted states for more than 10 seconds; in the client role it keeps a
// static connection alive, starts the next queued request at least 2 seconds after the previous
// one and ends requests that take longer than the time-out. The endpoint's events meet it only
// through the flags in the state.
//
// Every age and interval here is measured on the monotonic clock, so a step of the wall clock
// (an NTP correction at a plant) neither stalls nor hurries a time-out, and midnight is no
// boundary at all.
//
// With a static connection, item 1 is never handed to the endpoint again while the endpoint
// still holds unsent bytes of it: a printer that stops reading would otherwise get the same
// label again at every spacing, and every copy would be buffered here. A send that makes no
// progress for settings.timeoutSeconds seconds ends like a failed send ("Timeout sending: host:port", the
// endpoint closed, resetRequest for the next step).
//
// With answerTimeoutSec set, a static connection carries one request at a time: an item that
// has been sent stays item 1 until its answer came (then it leaves as a sent item would), and is
// ended with a failure when the answer does not come in time or the connection ends first. An
// item given up on is not sent again: the printer may have it. The answer that then still comes
// is late (see SocketEvents); when a second request is given up while that answer is still
// owed, the connection is closed, so that both sides start afresh.
class SocketSupervision
{
public:
    SocketSupervision(GatewayState &state, SocketEndpoint &socket, LogWriter &log);

    // The first step of every tick: the window's part (a minimised window hides into the tray).
    void setWindowStep(std::function<void()> step) { m_windowStep = std::move(step); }

    void tick();

    // Where every tick reports the endpoint's state (its state number) for the PLC, after the
    // pending error is shown and before the tick drives the endpoint.
    void setStateReport(std::function<void(int state)> report) { m_stateReport = std::move(report); }
    // Where failures of the peer side are reported to the PLC (reportPeerFailures).
    void setFailureReport(PeerFailureReport report) { m_failureReport = std::move(report); }
    // Whether item 1 has been sent and waits for its answer (answerTimeoutSec).
    bool awaitingAnswer() const { return m_awaitingAnswer; }

    // When the request in progress began (monotonic milliseconds); empty when none is.
    std::optional<qint64> requestStart() const { return m_requestStart; }
    int connectTry() const { return m_connectTry; }

private:
    void serverBranch(QString &label);
    void clientBranch(QString &label);
    void nextRequest(QString &label);
    void watchSend();
    // With answerTimeoutSec, a sent item stays item 1 until its answer came, the time-out passed
    // or the connection ended. False when nothing is awaited (any more).
    bool awaitAnswer();
    // A job sent whole waits for its answer (answerTimeoutSec), on a static connection or on
    // the one made for it.
    bool answerAwaited() const;
    // Ends the awaited item because its connection ended before the answer came.
    void endAtConnectionEnd();
    // Ends the awaited item with a failure: a drop record naming it, and the report to the PLC
    // when toPlc (a cut-short answer was reported when the connection ended).
    void endAwaited(const QString &message, bool toPlc);
    // A failure told to the PLC whose log record this path has written already (a drop record,
    // a forced status line): the one record of the event.
    void tellPlc(PeerFailure code, const QString &message);
    // A failure that has no record yet: told to the PLC, it is logged with the text the PLC gets.
    void failure(PeerFailure code, const QString &message);
    void report(const QString &message, bool forced = false);
    // The record of an item that leaves its queue unserved.
    void writeDrop(const QString &message);
    // The state number for a message, taken when the message is built.
    QString stateNumber() const;
    qint64 requestAge() const;

    GatewayState &m_state;
    SocketEndpoint &m_socket;
    LogWriter &m_log;
    std::function<void()> m_windowStep;
    std::function<void(int)> m_stateReport;
    PeerFailureReport m_failureReport;
    bool m_awaitingAnswer = false;

    std::optional<qint64> m_requestStart;
    qint32 m_connectTry = 0;
    quint64 m_connectionEnds = 0; // the connection ends counted at the last tick
    // The pending send's unsent bytes when they last went down, and when that was.
    struct SendProgress {
        qint64 unsent;
        qint64 since;
    };
    std::optional<SendProgress> m_sendProgress;
};
