#pragma once

#include <QString>

// The one entry for recording an event: one record in the communication log file, the same
// text in the system event log and, unless logOnly, in the operator's message list.
class LogWriter
{
public:
    virtual ~LogWriter() = default;
    virtual void writeLog(const QString &text, bool logOnly) = 0;
    // A queued item that leaves its queue without being served (the text names it): one record
    // in the communication log, and a warning rather than an information entry in the event
    // log, since the PLC may never hear of it.
    virtual void writeDrop(const QString &text) { writeLog(text, true); }
    // An error of the printer connection (reason: the endpoint's description of it): the same
    // record as writeLog, with a warning entry that names the peer and the reason apart.
    virtual void writePeerError(const QString &text, bool logOnly, const QString &reason)
    {
        Q_UNUSED(reason);
        writeLog(text, logOnly);
    }
};
