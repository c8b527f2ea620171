#include "core/StatusReport.h"

#include "common/Cp1252.h"
#include "core/GatewayRuntime.h"
#include "plc/ModbusLink.h"
#include "plc/PlcCycles.h"
#include "plc/PlcLinkFactory.h"
#include "plc/TargetedLink.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

namespace
{

// The log is rotated past 64000 bytes; the tail of a larger one is enough for 50 records.
constexpr qint64 kTailBytes = 256LL * 1024;

QString isoTime(const QDateTime &t)
{
    return t.isValid() ? t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate) : QString();
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

StatusReport::StatusReport(GatewayRuntime &runtime)
    : m_runtime(runtime), m_startedAt(QDateTime::currentDateTime())
{
    m_sinceStart.start();
}

StatusReport::Plc StatusReport::plc() const
{
    Plc p;
    const GatewayState &s = m_runtime.state;
    KeloLink *link = m_runtime.link();
    p.used = !s.settings.serverRole && link;
    if (!link)
        return p;
    p.target = link->netId() + QLatin1Char(':') + link->port();
    const clsComm *record = m_runtime.plc() ? m_runtime.plc()->plcRecord() : nullptr;
    const bool handles = record && record->hConnectAnfordVar != 0;
    if (const auto *targeted = qobject_cast<const TargetedLink *>(link)) {
        p.kind =
            qobject_cast<const ModbusLink *>(link) ? QStringLiteral("modbus") : QStringLiteral("runtime");
        p.state = TargetedLink::linkStateText(targeted->linkState());
        p.up = handles && targeted->isConnected();
    } else {
        p.kind = QStringLiteral("other");
        p.up = handles;
        p.state = handles ? QStringLiteral("connected") : QStringLiteral("not connected");
    }
    return p;
}

QString StatusReport::peerTarget() const
{
    const GatewayState &s = m_runtime.state;
    return s.settings.serverRole ? QStringLiteral("port ") + s.settings.remotePort
                                 : s.settings.remoteHost + QLatin1Char(':') + s.settings.remotePort;
}

bool StatusReport::peerConnected() const
{
    return m_runtime.socket.state() == SocketEndpoint::Connected;
}

QStringList StatusReport::logTail(const QString &file, int records)
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

QJsonObject StatusReport::status(int logLines) const
{
    const GatewayState &s = m_runtime.state;
    const LineCounters &c = s.counters;
    const Plc p = plc();
    const int socketState = m_runtime.socket.state();

    QJsonObject peer{
        {QStringLiteral("role"), s.settings.serverRole ? QStringLiteral("server") : QStringLiteral("client")},
        {QStringLiteral("connection"),
         s.settings.staticConnection ? QStringLiteral("static") : QStringLiteral("per request")},
        {QStringLiteral("target"), peerTarget()},
        {QStringLiteral("socketState"), socketState},
        {QStringLiteral("socketStateText"), SocketEndpoint::stateText(socketState)},
        {QStringLiteral("connected"), peerConnected()}};
    QJsonObject plcObject{
        {QStringLiteral("used"), p.used},
        {QStringLiteral("kind"), p.kind},
        {QStringLiteral("target"), p.target},
        {QStringLiteral("state"), p.used ? p.state : QStringLiteral("not used (server role)")},
        {QStringLiteral("up"), p.up}};

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

    const auto free = m_runtime.storage.freeSpace(m_runtime.folder);
    return QJsonObject{
        {QStringLiteral("module"), s.settings.moduleName},
        {QStringLiteral("machine"), s.edited.machineName},
        {QStringLiteral("version"), GatewayRuntime::versionText()},
        {QStringLiteral("configuration"), s.configFile},
        {QStringLiteral("startedAt"), isoTime(m_startedAt)},
        {QStringLiteral("uptimeSec"), uptimeSeconds()},
        {QStringLiteral("state"), s.lblState},
        {QStringLiteral("pending"), s.sendQueue.size()},
        {QStringLiteral("receiveQueue"), s.receiveQueue.size()},
        {QStringLiteral("lastError"), s.lblError},
        {QStringLiteral("lastComm"), s.lblLastComm},
        {QStringLiteral("lastRequest"), isoTime(c.lastRequest())},
        {QStringLiteral("lastAnswer"), isoTime(c.lastAnswer())},
        {QStringLiteral("peer"), peer},
        {QStringLiteral("plc"), plcObject},
        {QStringLiteral("counters"), counters},
        {QStringLiteral("logFile"), s.logFileName},
        {QStringLiteral("logEnabled"), s.logEnabled},
        {QStringLiteral("logFreeBytes"), free ? QJsonValue(free->freeBytes) : QJsonValue()},
        {QStringLiteral("log"), QJsonArray::fromStringList(logTail(s.logFileName, logLines))},
    };
}

QByteArray StatusReport::metrics() const
{
    const GatewayState &s = m_runtime.state;
    const LineCounters &c = s.counters;
    const Plc p = plc();
    Exposition out(s.settings.moduleName);

    out.metric("kavetta_up", "gauge", "1 while the gateway runs and answers.", 1);
    out.head("kavetta_info", "gauge", "Version, role and PLC link kind of the instance.");
    out.sample("kavetta_info", 1,
               Exposition::label("version", GatewayRuntime::versionText()) +
                   Exposition::label("role", s.settings.serverRole ? QStringLiteral("server")
                                                                   : QStringLiteral("client")) +
                   Exposition::label("connection", s.settings.staticConnection
                                                       ? QStringLiteral("static")
                                                       : QStringLiteral("per_request")) +
                   Exposition::label("plc_link", p.used ? p.kind : QStringLiteral("none")));
    out.metric("kavetta_start_time_seconds", "gauge",
               "Start of the gateway process, in seconds since the epoch.",
               double(m_startedAt.toSecsSinceEpoch()));
    if (p.used)
        out.metric("kavetta_plc_link_up", "gauge",
                   "1 while the PLC link is connected and the instance's variables are reachable.",
                   p.up ? 1 : 0);
    out.metric("kavetta_peer_connected", "gauge", "1 while a TCP connection to the peer is open.",
               peerConnected() ? 1 : 0);
    out.metric("kavetta_peer_socket_state", "gauge",
               "State of the peer socket (0 closed .. 7 connected, 9 error).", m_runtime.socket.state());
    out.metric("kavetta_send_queue_length", "gauge", "Requests waiting for the peer (sendQueue).",
               double(s.sendQueue.size()));
    out.metric("kavetta_receive_queue_length", "gauge", "Answers waiting for the PLC (receiveQueue).",
               double(s.receiveQueue.size()));
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
    out.metric("kavetta_log_write_failures_total", "counter",
               "Communication log records that could not be written.", double(c.logWriteFailures()));
    out.metric("kavetta_event_log_entries_lost_total", "counter",
               "Event log entries that could not be written to the event log file.",
               double(m_runtime.eventLog.lostEntries()));
    out.metric("kavetta_log_enabled", "gauge", "0 while the communication log is off for lack of disk space.",
               s.logEnabled ? 1 : 0);
    if (const auto free = m_runtime.storage.freeSpace(m_runtime.folder))
        out.metric("kavetta_log_folder_free_bytes", "gauge",
                   "Free bytes of the file system of the log folder.", double(free->freeBytes));
    return out.text();
}

QVariantMap StatusReport::managerStatus() const
{
    const GatewayState &s = m_runtime.state;
    const Plc p = plc();
    return QVariantMap{
        {QStringLiteral("plc"),
         p.used ? p.state + QStringLiteral(" (") + p.target + QLatin1Char(')') : QStringLiteral("not used")},
        {QStringLiteral("peer"), SocketEndpoint::stateText(m_runtime.socket.state()) + QStringLiteral(" (") +
                                     peerTarget() + QLatin1Char(')')},
        {QStringLiteral("pending"), int(s.sendQueue.size())},
        {QStringLiteral("lastError"), s.lblError},
        {QStringLiteral("uptimeSec"), uptimeSeconds()},
        {QStringLiteral("state"), s.lblState},
    };
}

QString StatusReport::startSummary() const
{
    const GatewayState &s = m_runtime.state;
    QStringList parts;
    parts << QStringLiteral("Start %1 %2: module %3")
                 .arg(QStringLiteral("Kavetta"), GatewayRuntime::versionText(),
                      s.settings.moduleName.isEmpty() ? QStringLiteral("(none)") : s.settings.moduleName);
    if (s.settings.serverRole) {
        parts
            << QStringLiteral("TCP server on port %1 (the PLC link is not used)").arg(s.settings.remotePort);
    } else {
        const Plc p = plc();
        const QString map = plcMapFileFor(s.configFile);
        parts << (p.kind == QLatin1String("modbus")
                      ? QStringLiteral("PLC link Modbus/TCP to %1 (map %2)").arg(p.target, map)
                      : QStringLiteral("PLC link to the PLC runtime at %1").arg(p.target));
        parts << QStringLiteral("TCP client to %1, %2")
                     .arg(peerTarget(), s.settings.staticConnection
                                            ? QStringLiteral("static connection")
                                            : QStringLiteral("one connection per request"));
    }
    parts << QStringLiteral("log folder %1").arg(QFileInfo(s.logFileName).absolutePath());
    const StatusOptions &st = m_runtime.instanceOptions.status;
    parts << (st.enabled() ? QStringLiteral("status endpoint http://%1/")
                                 .arg(st.address.protocol() == QAbstractSocket::IPv6Protocol
                                          ? QStringLiteral("[%1]:%2").arg(st.address.toString()).arg(st.port)
                                          : QStringLiteral("%1:%2").arg(st.address.toString()).arg(st.port))
                           : QStringLiteral("no status endpoint"));
    return parts.join(QStringLiteral("; "));
}

QString StatusReport::endedAtStartNotice() const
{
    const GatewayCore *core = m_runtime.core();
    if (!core || !core->programEnded() || core->isLoaded())
        return {};
    const QString module = m_runtime.state.settings.moduleName;
    if (core->managerResult() == ManagerLink::AlreadyRunning)
        return QStringLiteral("Module %1 runs already under the server manager: this start ends").arg(module);
    return QStringLiteral(
               "Another process of this program runs already and no server manager tells the instances "
               "apart: this start of module %1 ends")
        .arg(module);
}
