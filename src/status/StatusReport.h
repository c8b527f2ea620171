#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

struct InstanceView;
struct StatusRefusals;

// The state of one running instance as the status endpoint serves it, built from a view of the
// instance taken at the moment it is asked for.

constexpr int kStatusLogLines = 50;

// The state as JSON (docs/monitoring.md lists the fields), with the last logLines records of the
// communication log.
QJsonObject statusJson(const InstanceView &view, int logLines = kStatusLogLines);
// The Prometheus text exposition format, version 0.0.4.
QByteArray metricsText(const InstanceView &view);
// The status endpoint's own series: the connections it refused or closed, by reason.
QByteArray refusalMetricsText(const QString &module, const StatusRefusals &refusals);

// The last `records` records of a communication log file (each ended by CR, CR LF), decoded from
// Windows-1252, oldest first.
QStringList logTail(const QString &file, int records);
