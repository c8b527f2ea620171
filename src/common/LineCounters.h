#pragma once

#include <QDateTime>
#include <QtGlobal>

#include <array>
#include <chrono>
#include <deque>
#include <optional>

// Latencies in fixed buckets, as a Prometheus histogram wants them: bucket i counts the
// observations up to bounds()[i] seconds (not cumulated), the last one those beyond.
class LatencyHistogram
{
public:
    static constexpr std::array<double, 14> kBounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                    0.1,    0.25,  0.5,    1,     2.5,  5,     10};

    void observe(double seconds);
    const std::array<quint64, kBounds.size() + 1> &buckets() const { return m_buckets; }
    quint64 count() const { return m_count; }
    double sum() const { return m_sum; }

private:
    std::array<quint64, kBounds.size() + 1> m_buckets{};
    quint64 m_count = 0;
    double m_sum = 0;
};

// What happened on the line since the start, counted where it happens (request cycle,
// supervision, socket events, response cycle, communication log) and read by the status
// surfaces. Counting costs a few additions; nothing here reads a clock but the hand-over timing.
class LineCounters
{
public:
    // Why a request did not reach the peer or its answer the PLC.
    enum class Failure {
        Request,          // the PLC's send data could not be read, or the label or job could not be built
        Send,             // the endpoint refused the data
        Timeout,          // no send complete within the time-out
        QueueFull,        // refused by maxQueuedItems
        NoAnswer,         // sent, but its answer did not come within answerTimeoutSec
        AnswerNotWritten, // the PLC link refused the answer in ".RecData"
        Count
    };
    // Why an item left a queue without being served.
    enum class Drop {
        ResetOnError,   // a socket error with "Reset Sendata on Error" on
        NoPlcSide,      // an answer that no PLC record can take
        LateAnswer,     // an answer after its request was ended, or one nobody asked for
        AnswerTooLarge, // a framed answer beyond answerMaxBytes
        AnswerCutShort, // the connection ended in the middle of an answer
        BadFrame,       // a length header that cannot be read
        EarlierRun,     // left in the journal by an earlier run and not sent again
        Count
    };
    // The codes a failure report to the PLC can carry (common/PeerFailure.h), from the first.
    static constexpr int kPlcReportKinds = 9;
    static const char *plcReportName(int kind);
    static const char *failureName(Failure reason);
    static const char *dropName(Drop reason);

    void requestTaken();
    void requestSent() { ++m_sent; }
    void requestFailed(Failure reason) { ++m_failed[size_t(reason)]; }
    void dropped(Drop reason) { ++m_dropped[size_t(reason)]; }
    void peerError() { ++m_peerErrors; }
    // A piece of data arrived and waits in the receive queue, which now holds queued items.
    void answerArrived(qsizetype queued);
    // The oldest waiting answer went to the PLC; queued are left. roundTripMs: since the PLC's
    // most recent request, when there was one.
    void answerHandedOver(qsizetype queued, std::optional<qint32> roundTripMs);
    // A record of the communication log could not be written.
    void logWriteFailed() { ++m_logWriteFailures; }
    // A peer that allowedPeers does not name tried to connect.
    void peerRefused() { ++m_peersRefused; }
    // An item of an earlier run was queued again from the journal.
    void replayed() { ++m_replayed; }
    // A failure went to the PLC (".anfordErr"); kind counts from the first code, 3001.
    void reportedToPlc(int kind)
    {
        if (kind >= 0 && kind < kPlcReportKinds)
            ++m_plcReports[size_t(kind)];
    }

    quint64 taken() const { return m_taken; }
    quint64 sent() const { return m_sent; }
    quint64 answered() const { return m_answered; }
    quint64 failed(Failure reason) const { return m_failed[size_t(reason)]; }
    quint64 dropped(Drop reason) const { return m_dropped[size_t(reason)]; }
    quint64 peerErrors() const { return m_peerErrors; }
    quint64 logWriteFailures() const { return m_logWriteFailures; }
    quint64 peersRefused() const { return m_peersRefused; }
    quint64 replayedItems() const { return m_replayed; }
    quint64 reportedToPlc(int kind) const { return m_plcReports[size_t(kind)]; }
    const LatencyHistogram &handOver() const { return m_handOver; }
    const LatencyHistogram &roundTrip() const { return m_roundTrip; }
    // Wall-clock times of the last request taken and the last answer handed over; invalid
    // before the first.
    QDateTime lastRequest() const { return m_lastRequest; }
    QDateTime lastAnswer() const { return m_lastAnswer; }

private:
    using Instant = std::chrono::steady_clock::time_point;

    quint64 m_taken = 0, m_sent = 0, m_answered = 0, m_peerErrors = 0, m_logWriteFailures = 0;
    quint64 m_peersRefused = 0, m_replayed = 0;
    std::array<quint64, kPlcReportKinds> m_plcReports{};
    std::array<quint64, size_t(Failure::Count)> m_failed{};
    std::array<quint64, size_t(Drop::Count)> m_dropped{};
    LatencyHistogram m_handOver, m_roundTrip;
    // Arrival times of the answers in the receive queue, oldest first; kept as long as the queue.
    std::deque<Instant> m_arrivals;
    QDateTime m_lastRequest, m_lastAnswer;
};
