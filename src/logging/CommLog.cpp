#include "logging/CommLog.h"

#include "common/Clock.h"
#include "common/Cp1252.h"
#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "logging/EventLog.h"
#include "logging/LogBackup.h"
#include "messages/MsgList.h"

#include <QFile>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Hundredths of the current second as the label has always shown them: W is the whole seconds
// rounded half to even from T - 0.5, so the value runs from 0 to 100.
QString hundredthsText(const QDateTime &now)
{
    const double t = now.time().msecsSinceStartOfDay() / 1000.0;
    const double w = std::nearbyint(t - 0.5);
    const auto h = static_cast<int>(std::nearbyint((t - w) * 100.0));
    return QStringLiteral("%1").arg(h, 2, 10, QLatin1Char('0'));
}

// Returns 0, or the errno of the failure. A full disk may first take part of the record.
int writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return ENOSPC;
        p += n;
        left -= n;
    }
    return 0;
}

} // namespace

CommLog::CommLog(GatewayState &state, MsgList &messages, LogBackup &backup, EventLog &eventLog)
    : m_state(state), m_messages(messages), m_backup(backup), m_eventLog(eventLog)
{
}

void CommLog::showFailure(const QString &text, bool hundredths, int error)
{
    m_state.counters.logWriteFailed();
    const QDateTime now = currentDateTime();
    m_state.setLblLastComm(QStringLiteral("Letzte Kummunikation ") + shortDateText(now.date()) +
                           QLatin1Char(' ') + longTimeText(now.time()) +
                           (hundredths ? hundredthsText(now) : QString()) + QStringLiteral(": ") + text +
                           QStringLiteral(" Error:") + qt_error_string(error));
}

quint64 CommLog::lostRecords() const
{
    return m_state.counters.logWriteFailures();
}

void CommLog::recordFailure(int error)
{
    if (m_lostNow++ > 0)
        return;
    qint16 type = EventLog::Error;
    m_eventLog.writeAppLogEvent(QStringLiteral("Communication log %1 cannot be written (%2): its records are "
                                               "lost until it can be written again")
                                    .arg(m_fileName, qt_error_string(error)),
                                type);
}

void CommLog::writeLog(const QString &text, bool logOnly)
{
    write(text, logOnly, EventLog::Information);
}

// Both are warnings: the line goes on by itself, but a request may be lost (a drop) or wait
// (a printer that cannot be reached), which the PLC may never hear of.
void CommLog::writeDrop(const QString &text)
{
    const JournalFields fields = peerFields(EventLog::kItemDroppedId, QStringLiteral("dropped"));
    write(text, true, EventLog::Warning, &fields);
}

void CommLog::writePeerError(const QString &text, bool logOnly, const QString &reason)
{
    const JournalFields fields = peerFields(EventLog::kPeerErrorId, reason);
    write(text, logOnly, EventLog::Warning, &fields);
}

JournalFields CommLog::peerFields(const char *messageId, const QString &reason) const
{
    const Settings &s = m_state.settings;
    return {messageId,
            s.serverRole ? QStringLiteral("port ") + s.remotePort
                         : s.remoteHost + QLatin1Char(':') + s.remotePort,
            reason};
}

void CommLog::logEntry(const QString &text, qint16 entryType, const JournalFields *fields)
{
    if (fields)
        m_eventLog.writeAppLogEvent(text, entryType, *fields);
    else
        m_eventLog.writeAppLogEvent(text, entryType);
}

// A record that could not be written still reaches the event log when it is a warning: a dropped
// item must leave a trace somewhere.
void CommLog::keepWarning(const QString &text, qint16 entryType, const JournalFields *fields)
{
    if (entryType != EventLog::Information)
        logEntry(text, entryType, fields);
}

void CommLog::write(const QString &text, bool logOnly, qint16 entryType, const JournalFields *fields)
{
    if (!m_state.logEnabled) {
        m_messages.addMsg(MsgList::Information, text);
        logEntry(text, entryType, fields);
        return;
    }

    if (m_state.logFileName != m_fileName) {
        m_fileName = m_state.logFileName;
        m_encodedFileName = QFile::encodeName(m_fileName);
    }
    // Plain system calls rather than QFile: QFile's open adds a status call, a seek and its file
    // engine, which on every record cost more than the open, write and close themselves.
    const int fd = m_encodedFileName.isEmpty() ? -1
                                               : ::open(m_encodedFileName.constData(),
                                                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = m_encodedFileName.isEmpty() ? ENOENT : errno;
        showFailure(text, false, error);
        recordFailure(error);
        keepWarning(text, entryType, fields);
        return;
    }
    QByteArray record = cp1252::encode(text);
    record.append("\r\r\n", 3);
    int error = writeAll(fd, record);
    // The rotation check takes the file's real size after every append: others may write to the
    // same file too (a second instance of the module, an operator's note, a restored copy), so
    // nothing counted here could stand in for it. An O_APPEND write starts at the end of the
    // file as it is at that moment, so the offset after it is the size with this record; lseek
    // reads it at the price of one plain system call (fstat costs about twice that).
    const qint64 size = error ? -1 : qint64(::lseek(fd, 0, SEEK_CUR));
    if (::close(fd) != 0 && !error)
        error = errno;
    if (error) {
        showFailure(text, logOnly, error);
        recordFailure(error);
        keepWarning(text, entryType, fields);
        return;
    }
    if (m_lostNow > 0) {
        qint16 type = EventLog::Warning;
        m_eventLog.writeAppLogEvent(
            QStringLiteral("Communication log %1 is written again: %2 records could not be written")
                .arg(m_fileName)
                .arg(m_lostNow),
            type);
        m_lostNow = 0;
    }
    if (!logOnly)
        m_messages.addMsg(MsgList::Information, text);
    m_backup.buildBackup(size);
    logEntry(text, entryType, fields);
}
