#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

// How the answers of the peer are cut out of what it sends ([safety] answerFraming).
enum class AnswerFraming { Chunk, Line, Terminator, Length };

// The framing's name in the options file: "chunk", "line", "terminator" or "length".
QString framingName(AnswerFraming framing);

// The [safety] options of an instance (config/InstanceOptions reads them). Every default leaves
// the gateway as a PLC program has always known it.
struct SafetyOptions {
    bool reportPeerFailures = false;
    int answerTimeoutSec = 0; // 0: no time-out
    AnswerFraming answerFraming = AnswerFraming::Chunk;
    QByteArray answerTerminator; // decoded; not empty when the framing is Terminator
    int answerMaxBytes = 65536;
    bool dropLateAnswers = false;
    bool requirePrintData = false;
    QList<QPair<QHostAddress, int>> allowedPeers; // networks (address, prefix length); empty: all
    int maxQueuedItems = 0;                       // 0: no bound

    // Whether a peer at this address may connect (an IPv4 peer seen as ::ffff:a.b.c.d counts
    // as its IPv4 address).
    bool peerAllowed(const QHostAddress &address) const;
    bool operator==(const SafetyOptions &) const = default;
};
