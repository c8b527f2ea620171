#pragma once

#include <QString>

#include <functional>

class GatewayState;

// The codes the gateway writes into ".anfordErr" when the peer side failed a request that the
// PLC had handed over successfully ("reportPeerFailures" in the instance options), and the one
// of a request the bounded queue refused ("maxQueuedItems"). They lie apart from the label
// error (1) and from the PLC link's own codes (1801 and up), so a PLC program can tell them.
enum class PeerFailure : qint32 {
    Dropped = 3001,          // dropped after a socket error (refused connect, reset)
    SendFailed = 3002,       // the endpoint refused it, or it made no progress while sending
    RequestTimeout = 3003,   // no connection within the time-out; it is tried again
    NoAnswer = 3004,         // sent, but its answer did not come (time-out, connection ended)
    AnswerCutShort = 3005,   // the connection ended in the middle of an answer
    AnswerTooLarge = 3006,   // an answer longer than answerMaxBytes, dropped
    AnswerNotWritten = 3007, // the PLC link refused the answer in ".RecData"
    QueueFull = 3008,        // refused: maxQueuedItems requests wait already
    BadFrame = 3009,         // a framed answer whose length header cannot be read, dropped
};

// Reports a failure to the PLC (code and status line); does nothing where that is switched off.
// It writes no log record: the path that failed writes the event's one record itself.
using PeerFailureReport = std::function<void(PeerFailure code, const QString &message)>;

// Whether failures of the peer side go to the PLC: reportPeerFailures on, in the client role.
bool peerFailuresToPlc(const GatewayState &state);

// A queued item as a failure message shows it: its beginning, on one line.
QString itemPreview(const QString &item);
