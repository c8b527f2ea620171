#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QStringList>
#include <QVariantMap>

class GatewayRuntime;

// The state of one running instance as the status surfaces show it to people without its
// window: the status page and its JSON, the Prometheus metrics, the server manager's list and
// the event-log entry at start. Everything is read at the moment it is asked for; nothing here
// changes the gateway.
class StatusReport
{
public:
    static constexpr int kLogLines = 50;

    // Made with the runtime: the start time is taken here.
    explicit StatusReport(GatewayRuntime &runtime);

    // The state as JSON (docs/monitoring.md lists the fields), with the last logLines records of
    // the communication log.
    QJsonObject status(int logLines = kLogLines) const;
    // The Prometheus text exposition format, version 0.0.4.
    QByteArray metrics() const;
    // The state the server manager lists: plc, peer, pending, lastError, uptimeSec, state.
    QVariantMap managerStatus() const;

    // What the instance will do, said once per start in the event log.
    QString startSummary() const;
    // Why a start ended at once (its module runs already); empty when it did not.
    QString endedAtStartNotice() const;

    QDateTime startedAt() const { return m_startedAt; }
    qint64 uptimeSeconds() const { return m_sinceStart.elapsed() / 1000; }

    // The last `records` records of a communication log file (each ended by CR, CR LF), decoded
    // from Windows-1252, oldest first.
    static QStringList logTail(const QString &file, int records);

private:
    struct Plc {
        bool used = false; // the server role does not use the PLC
        QString kind;      // "runtime" or "modbus"
        QString target;
        QString state;
        bool up = false;
    };
    Plc plc() const;
    QString peerTarget() const;
    bool peerConnected() const;

    GatewayRuntime &m_runtime;
    QDateTime m_startedAt;
    QElapsedTimer m_sinceStart;
};
