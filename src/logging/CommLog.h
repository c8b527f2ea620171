#pragma once

#include "common/LogWriter.h"

#include <QByteArray>
#include <QString>

class EventLog;
class GatewayState;
class LogBackup;
class MsgList;

// The communication log: one record per call appended to logFileName (text, CR, CR LF in
// Windows-1252), the file opened and closed around each record so that other programs can read
// it between records; then the rotation check and the event log entry. Records with logOnly
// false, and every record while logging is switched off for lack of disk space, also reach the
// operator's message list. A record that cannot be written is shown in lblLastComm and is lost.
class CommLog : public LogWriter
{
public:
    CommLog(GatewayState &state, MsgList &messages, LogBackup &backup, EventLog &eventLog);

    void writeLog(const QString &text, bool logOnly) override;

private:
    void showFailure(const QString &text, bool hundredths, int error);

    GatewayState &m_state;
    MsgList &m_messages;
    LogBackup &m_backup;
    EventLog &m_eventLog;
    QString m_fileName;
    QByteArray m_encodedFileName;
};
