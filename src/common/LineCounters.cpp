#include "common/LineCounters.h"

#include "common/Clock.h"

#include <algorithm>

void LatencyHistogram::observe(double seconds)
{
    const auto it = std::lower_bound(kBounds.begin(), kBounds.end(), seconds);
    ++m_buckets[size_t(it - kBounds.begin())];
    ++m_count;
    m_sum += seconds;
}

const char *LineCounters::failureName(Failure reason)
{
    switch (reason) {
    case Failure::Request:
        return "request";
    case Failure::Send:
        return "send";
    case Failure::Timeout:
        return "timeout";
    case Failure::QueueFull:
        return "queue_full";
    case Failure::NoAnswer:
        return "no_answer";
    case Failure::AnswerNotWritten:
        return "answer_not_written";
    case Failure::Count:
        break;
    }
    return "";
}

const char *LineCounters::dropName(Drop reason)
{
    switch (reason) {
    case Drop::ResetOnError:
        return "reset_on_error";
    case Drop::NoPlcSide:
        return "no_plc_side";
    case Drop::LateAnswer:
        return "late_answer";
    case Drop::AnswerTooLarge:
        return "answer_too_large";
    case Drop::AnswerCutShort:
        return "answer_cut_short";
    case Drop::BadFrame:
        return "bad_frame";
    case Drop::EarlierRun:
        return "earlier_run";
    case Drop::Count:
        break;
    }
    return "";
}

const char *LineCounters::plcReportName(int kind)
{
    static const char *const names[kPlcReportKinds] = {
        "dropped",          "send_failed",        "request_timeout", "no_answer", "answer_cut_short",
        "answer_too_large", "answer_not_written", "queue_full",      "bad_frame"};
    return kind >= 0 && kind < kPlcReportKinds ? names[kind] : "";
}

void LineCounters::requestTaken()
{
    ++m_taken;
    m_lastRequest = currentDateTime();
}

void LineCounters::answerArrived(qsizetype queued)
{
    m_arrivals.push_back(std::chrono::steady_clock::now());
    // Items the response cycle let go without handing them over (empty pieces, the server role)
    // are the oldest ones.
    while (qsizetype(m_arrivals.size()) > std::max<qsizetype>(queued, 1))
        m_arrivals.pop_front();
}

void LineCounters::answerHandedOver(qsizetype queued, std::optional<qint32> roundTripMs)
{
    ++m_answered;
    m_lastAnswer = currentDateTime();
    while (qsizetype(m_arrivals.size()) > queued + 1)
        m_arrivals.pop_front();
    if (!m_arrivals.empty()) {
        const auto waited = std::chrono::steady_clock::now() - m_arrivals.front();
        m_handOver.observe(std::chrono::duration<double>(waited).count());
        m_arrivals.pop_front();
    }
    if (roundTripMs && *roundTripMs >= 0)
        m_roundTrip.observe(*roundTripMs / 1000.0);
}
