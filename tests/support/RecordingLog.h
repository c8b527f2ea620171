#pragma once

#include "common/LogWriter.h"

#include <QList>
#include <QPair>

// Keeps every writeLog call: the text and its logOnly flag.
class RecordingLog : public LogWriter
{
public:
    QList<QPair<QString, bool>> records;
    void writeLog(const QString &text, bool logOnly) override { records.append({text, logOnly}); }
};
