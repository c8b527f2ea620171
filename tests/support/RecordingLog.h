#pragma once

#include "common/LogWriter.h"

#include <QList>
#include <QPair>

#include <QStringList>

// Keeps every writeLog call (the text and its logOnly flag) and, apart, every dropped item's
// record.
class RecordingLog : public LogWriter
{
public:
    QList<QPair<QString, bool>> records;
    QStringList drops;
    void writeLog(const QString &text, bool logOnly) override { records.append({text, logOnly}); }
    void writeDrop(const QString &text) override { drops.append(text); }
};
