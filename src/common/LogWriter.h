#pragma once

#include <QString>

// The one entry for recording an event: one record in the communication log file, the same
// text in the system event log and, unless logOnly, in the operator's message list.
class LogWriter
{
public:
    virtual ~LogWriter() = default;
    virtual void writeLog(const QString &text, bool logOnly) = 0;
};
