#pragma once

#include "common/LogWriter.h"

#include <QByteArray>
#include <QString>

class EventLog;
struct JournalFields;
class GatewayState;
class LogBackup;
class MsgList;

// The communication log: one record per call appended to logFileName (text, CR, CR LF in
// Windows-1252), the file opened and closed around each record so that other programs can read
// it between records; then the rotation check and the event log entry. Records with logOnly
// false, and every record while logging is switched off for lack of disk space, also reach the
// operator's message list. A record that cannot be written is shown in lblLastComm and is lost;
// so that no record is lost without a trace, the first failure of a run of failures writes one
// error entry to the event log, and the first record written after it an entry with the number
// of records lost meanwhile.
class CommLog : public LogWriter
{
public:
    CommLog(GatewayState &state, MsgList &messages, LogBackup &backup, EventLog &eventLog);

    void writeLog(const QString &text, bool logOnly) override;
    void writeDrop(const QString &text) override;
    void writePeerError(const QString &text, bool logOnly, const QString &reason) override;

    // Records that could not be written since the program started.
    quint64 lostRecords() const;

private:
    // entryType: the event log entry's type (EventLog::Type); fields: what its journald entry
    // carries beside the message (none: a plain entry).
    void write(const QString &text, bool logOnly, qint16 entryType, const JournalFields *fields = nullptr);
    void logEntry(const QString &text, qint16 entryType, const JournalFields *fields);
    JournalFields peerFields(const char *messageId, const QString &reason) const;
    void keepWarning(const QString &text, qint16 entryType, const JournalFields *fields);
    void showFailure(const QString &text, bool hundredths, int error);
    void recordFailure(int error);

    GatewayState &m_state;
    MsgList &m_messages;
    LogBackup &m_backup;
    EventLog &m_eventLog;
    QString m_fileName;
    QByteArray m_encodedFileName;
    // Records lost in the current run of failures (0: writing works).
    quint64 m_lostNow = 0;
};
