#include "status/StatusReport.h"

#include "common/Cp1252.h"
#include "common/InstanceView.h"
#include "common/StatusLine.h"
#include "status/StatusListener.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>

namespace
{

// The log is rotated past 64000 bytes; the tail of a larger one is enough for 50 records.
constexpr qint64 kTailBytes = 256LL * 1024;

QString isoTime(const QDateTime &t)
{
    return t.isValid() ? t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate) : QString();
}

// A time as the gateway's status lines write it (the plant's locale), so that a page shows one
// date form throughout.
QString localTime(const QDateTime &t)
{
    if (!t.isValid())
        return {};
    const QDateTime local = t.toLocalTime();
    return shortDateText(local.date()) + QLatin1Char(' ') + longTimeText(local.time());
}

// What kind of line the error label holds: it shows the last status line, a received answer or
// a send under way as much as a failure.
QString statusLevel(const QString &line)
{
    if (line.trimmed().isEmpty())
        return {};
    // The date's form follows the locale ("07.12.26", "7 Dec 2026"); the time ends the stamp.
    static const QRegularExpression stamp(QStringLiteral("^.*?\\d{1,2}:\\d\\d:\\d\\d\\s+"));
    const QString message = QString(line).remove(stamp);
    for (const char *progress : {"SocketData received: ", "Connect ", "Start send ", "Send Data"})
        if (message.startsWith(QLatin1String(progress)))
            return QStringLiteral("information");
    return QStringLiteral("error");
}

// The Prometheus text format, written by hand: Debian has no C++ client library, and the format
// is a few lines per metric.
class Exposition
{
public:
    explicit Exposition(const QString &module) : m_module(escape(module)) {}

    void head(const char *name, const char *type, const char *help)
    {
        m_out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void sample(const char *name, double value, const QByteArray &labels = {})
    {
        m_out += name;
        m_out += "{module=\"" + m_module + '"' + labels + "} " + number(value) + '\n';
    }
    void metric(const char *name, const char *type, const char *help, double value)
    {
        head(name, type, help);
        sample(name, value);
    }
    void histogram(const char *name, const char *help, const LatencyHistogram &h)
    {
        head(name, "histogram", help);
        const QByteArray bucket = QByteArray(name) + "_bucket";
        quint64 cumulated = 0;
        for (size_t i = 0; i < LatencyHistogram::kBounds.size(); ++i) {
            cumulated += h.buckets()[i];
            sample(bucket.constData(), double(cumulated), label("le", number(LatencyHistogram::kBounds[i])));
        }
        sample(bucket.constData(), double(h.count()), label("le", "+Inf"));
        sample((QByteArray(name) + "_sum").constData(), h.sum());
        sample((QByteArray(name) + "_count").constData(), double(h.count()));
    }

    static QByteArray label(const char *name, const QString &value)
    {
        return QByteArray(",") + name + "=\"" + escape(value) + '"';
    }
    static QByteArray number(double v) { return QByteArray::number(v, 'g', 15); }
    QByteArray text() const { return m_out; }

private:
    static QByteArray escape(const QString &value)
    {
        QByteArray out;
        for (const char c : value.toUtf8()) {
            if (c == '\\' || c == '"')
                out += '\\';
            if (c == '\n')
                out += "\\n";
            else
                out += c;
        }
        return out;
    }

    QByteArray m_module;
    QByteArray m_out;
};

} // namespace

QStringList logTail(const QString &file, int records)
{
    QFile f(file);
    if (records <= 0 || !f.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = f.size();
    const bool cut = size > kTailBytes;
    if (cut)
        f.seek(size - kTailBytes);
    const QByteArray bytes = f.readAll();
    QList<QByteArray> parts = bytes.split('\n');
    QStringList out;
    // A record ends in CR, CR LF: every part but the last (after the final LF) is one record,
    // unless a record itself held a line break, which then joins the next part.
    QByteArray pending;
    const qsizetype first = cut ? 1 : 0; // a tail read from the middle starts mid-record
    for (qsizetype i = first; i + 1 < parts.size(); ++i) {
        pending += parts[i];
        if (pending.endsWith("\r\r")) {
            pending.chop(2);
            out.append(cp1252::decode(pending));
            pending.clear();
        } else {
            pending += '\n';
        }
    }
    return out.mid(qMax<qsizetype>(0, out.size() - records));
}

QJsonObject statusJson(const InstanceView &v, int logLines)
{
    const LineCounters &c = v.counters;
    const InstanceView::Plc &p = v.plc;

    QJsonObject peer{{QStringLiteral("role"), v.server ? QStringLiteral("server") : QStringLiteral("client")},
                     {QStringLiteral("connection"),
                      v.staticConnection ? QStringLiteral("static") : QStringLiteral("per request")},
                     {QStringLiteral("target"), v.peerTarget()},
                     {QStringLiteral("socketState"), v.socketState},
                     {QStringLiteral("socketStateText"), v.socketStateText},
                     {QStringLiteral("connected"), v.peerConnected}};
    QJsonObject plcObject{
        {QStringLiteral("used"), p.used},
        {QStringLiteral("kind"), p.kind},
        {QStringLiteral("target"), p.target},
        {QStringLiteral("state"), p.used ? p.state : QStringLiteral("not used (server role)")},
        {QStringLiteral("up"), p.up},
        {QStringLiteral("problem"), p.problem}};

    QJsonObject failed, dropped;
    for (int i = 0; i < int(LineCounters::Failure::Count); ++i)
        failed.insert(QLatin1String(LineCounters::failureName(LineCounters::Failure(i))),
                      qint64(c.failed(LineCounters::Failure(i))));
    for (int i = 0; i < int(LineCounters::Drop::Count); ++i)
        dropped.insert(QLatin1String(LineCounters::dropName(LineCounters::Drop(i))),
                       qint64(c.dropped(LineCounters::Drop(i))));
    QJsonObject reportedToPlc;
    for (int i = 0; i < LineCounters::kPlcReportKinds; ++i)
        reportedToPlc.insert(QLatin1String(LineCounters::plcReportName(i)), qint64(c.reportedToPlc(i)));
    const QJsonObject counters{{QStringLiteral("taken"), qint64(c.taken())},
                               {QStringLiteral("sent"), qint64(c.sent())},
                               {QStringLiteral("answered"), qint64(c.answered())},
                               {QStringLiteral("failed"), failed},
                               {QStringLiteral("dropped"), dropped},
                               {QStringLiteral("peerErrors"), qint64(c.peerErrors())},
                               {QStringLiteral("logWriteFailures"), qint64(c.logWriteFailures())},
                               {QStringLiteral("peersRefused"), qint64(c.peersRefused())},
                               {QStringLiteral("replayed"), qint64(c.replayedItems())},
                               {QStringLiteral("reportedToPlc"), reportedToPlc}};

    return QJsonObject{
        {QStringLiteral("module"), v.module},
        {QStringLiteral("machine"), v.machine},
        {QStringLiteral("version"), v.version},
        {QStringLiteral("configuration"), v.configFile},
        {QStringLiteral("configurationOnDiskInUse"), v.refusedReload.isEmpty()},
        {QStringLiteral("refusedReload"), v.refusedReload},
        {QStringLiteral("reloadsRefused"), qint64(v.reloadsRefused)},
        {QStringLiteral("startedAt"), isoTime(v.startedAt)},
        {QStringLiteral("uptimeSec"), v.uptimeSec},
        {QStringLiteral("state"), v.state},
        {QStringLiteral("pending"), v.pending},
        {QStringLiteral("receiveQueue"), v.receiveQueue},
        {QStringLiteral("lastError"), v.lastError},
        {QStringLiteral("lastErrorLevel"), statusLevel(v.lastError)},
        {QStringLiteral("lastComm"), v.lastComm},
        {QStringLiteral("lastRequest"), isoTime(c.lastRequest())},
        {QStringLiteral("lastAnswer"), isoTime(c.lastAnswer())},
        {QStringLiteral("lastRequestText"), localTime(c.lastRequest())},
        {QStringLiteral("lastAnswerText"), localTime(c.lastAnswer())},
        {QStringLiteral("startedAtText"), localTime(v.startedAt)},
        {QStringLiteral("readAtText"), localTime(QDateTime::currentDateTime())},
        {QStringLiteral("peer"), peer},
        {QStringLiteral("plc"), plcObject},
        {QStringLiteral("counters"), counters},
        {QStringLiteral("logFile"), v.logFile},
        {QStringLiteral("logEnabled"), v.logEnabled},
        {QStringLiteral("logFreeBytes"), v.logFreeBytes ? QJsonValue(*v.logFreeBytes) : QJsonValue()},
        {QStringLiteral("journal"),
         QJsonObject{{QStringLiteral("enabled"), v.journalEnabled},
                     {QStringLiteral("ok"), v.journalEnabled && v.journalProblem.isEmpty()},
                     {QStringLiteral("problem"), v.journalProblem}}},
        {QStringLiteral("log"), QJsonArray::fromStringList(logTail(v.logFile, logLines))},
    };
}

QByteArray metricsText(const InstanceView &v)
{
    const LineCounters &c = v.counters;
    const InstanceView::Plc &p = v.plc;
    Exposition out(v.module);

    out.metric("kavetta_up", "gauge", "1 while the gateway runs and answers.", 1);
    out.head("kavetta_info", "gauge", "Version, role and PLC link kind of the instance.");
    out.sample("kavetta_info", 1,
               Exposition::label("version", v.version) +
                   Exposition::label("role", v.server ? QStringLiteral("server") : QStringLiteral("client")) +
                   Exposition::label("connection", v.staticConnection ? QStringLiteral("static")
                                                                      : QStringLiteral("per_request")) +
                   Exposition::label("plc_link", p.used ? p.kind : QStringLiteral("none")));
    out.metric("kavetta_start_time_seconds", "gauge",
               "Start of the gateway process, in seconds since the epoch.",
               double(v.startedAt.toSecsSinceEpoch()));
    if (p.used)
        out.metric("kavetta_plc_link_up", "gauge",
                   "1 while the PLC link is connected and the instance's variables are reachable.",
                   p.up ? 1 : 0);
    out.metric("kavetta_peer_connected", "gauge", "1 while a TCP connection to the peer is open.",
               v.peerConnected ? 1 : 0);
    out.metric("kavetta_peer_socket_state", "gauge",
               "State of the peer socket (0 closed .. 7 connected, 9 error).", v.socketState);
    out.metric("kavetta_send_queue_length", "gauge", "Requests waiting for the peer (sendQueue).",
               double(v.pending));
    out.metric("kavetta_receive_queue_length", "gauge", "Answers waiting for the PLC (receiveQueue).",
               double(v.receiveQueue));
    out.metric("kavetta_requests_taken_total", "counter", "PLC requests taken (.anford seen true).",
               double(c.taken()));
    out.metric("kavetta_requests_sent_total", "counter", "Requests sent to the peer completely.",
               double(c.sent()));
    out.metric("kavetta_requests_answered_total", "counter", "Answers handed to the PLC (.antwort set).",
               double(c.answered()));
    out.head("kavetta_requests_failed_total", "counter", "Requests that failed, by reason.");
    for (int i = 0; i < int(LineCounters::Failure::Count); ++i)
        out.sample(
            "kavetta_requests_failed_total", double(c.failed(LineCounters::Failure(i))),
            Exposition::label("reason", QLatin1String(LineCounters::failureName(LineCounters::Failure(i)))));
    out.head("kavetta_items_dropped_total", "counter",
             "Queued requests or answers dropped unserved, by reason.");
    for (int i = 0; i < int(LineCounters::Drop::Count); ++i)
        out.sample("kavetta_items_dropped_total", double(c.dropped(LineCounters::Drop(i))),
                   Exposition::label("reason", QLatin1String(LineCounters::dropName(LineCounters::Drop(i)))));
    out.metric("kavetta_peer_errors_total", "counter", "Errors of the peer socket.", double(c.peerErrors()));
    out.metric("kavetta_peers_refused_total", "counter",
               "Connections closed at once because allowedPeers does not name the peer.",
               double(c.peersRefused()));
    out.metric("kavetta_journal_replayed_total", "counter",
               "Items of an earlier run queued again from the journal.", double(c.replayedItems()));
    out.head("kavetta_plc_failure_reports_total", "counter",
             "Failures written into .anfordErr for the PLC, by reason.");
    for (int i = 0; i < LineCounters::kPlcReportKinds; ++i)
        out.sample("kavetta_plc_failure_reports_total", double(c.reportedToPlc(i)),
                   Exposition::label("reason", QLatin1String(LineCounters::plcReportName(i))));
    out.histogram("kavetta_answer_handover_seconds", "From an answer's arrival to .antwort set for the PLC.",
                  c.handOver());
    out.histogram("kavetta_request_round_trip_seconds",
                  "From the PLC's most recent request to its answer handed over.", c.roundTrip());
    out.metric("kavetta_config_reloads_refused_total", "counter",
               "Reloads that kept the loaded configuration because the files on disk have errors.",
               double(v.reloadsRefused));
    out.metric("kavetta_config_on_disk_in_use", "gauge",
               "0 while the configuration on disk was refused by the last reload and is not in use.",
               v.refusedReload.isEmpty() ? 1 : 0);
    out.metric("kavetta_log_write_failures_total", "counter",
               "Communication log records that could not be written.", double(c.logWriteFailures()));
    out.metric("kavetta_event_log_entries_lost_total", "counter",
               "Event log entries that could not be written to the event log file.",
               double(v.eventLogEntriesLost));
    if (v.journalEnabled)
        out.metric("kavetta_journal_ok", "gauge",
                   "1 while the journal keeps the queues on disk, 0 while it cannot be used or written.",
                   v.journalProblem.isEmpty() ? 1 : 0);
    out.metric("kavetta_log_enabled", "gauge", "0 while the communication log is off for lack of disk space.",
               v.logEnabled ? 1 : 0);
    if (v.logFreeBytes)
        out.metric("kavetta_log_folder_free_bytes", "gauge",
                   "Free bytes of the file system of the log folder.", double(*v.logFreeBytes));
    return out.text();
}

QByteArray refusalMetricsText(const QString &module, const StatusRefusals &refusals)
{
    Exposition out(module);
    out.head("kavetta_status_refused_total", "counter",
             "Status endpoint connections refused or closed for its bounds, by reason.");
    for (int i = 0; i < StatusRefusals::Count; ++i)
        out.sample("kavetta_status_refused_total", double(refusals.counts[size_t(i)]),
                   Exposition::label("reason", QLatin1String(StatusRefusals::name(i))));
    return out.text();
}
