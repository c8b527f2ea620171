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
    const QDateTime now = currentDateTime();
    m_state.setLblLastComm(QStringLiteral("Letzte Kummunikation ") + shortDateText(now.date()) +
                           QLatin1Char(' ') + longTimeText(now.time()) +
                           (hundredths ? hundredthsText(now) : QString()) + QStringLiteral(": ") + text +
                           QStringLiteral(" Error:") + qt_error_string(error));
}

void CommLog::writeLog(const QString &text, bool logOnly)
{
    if (!m_state.logEnabled) {
        m_messages.addMsg(MsgList::Information, text);
        m_eventLog.writeAppLogEvent(text);
        return;
    }

    if (m_state.logFileName != m_fileName) {
        m_fileName = m_state.logFileName;
        m_encodedFileName = QFile::encodeName(m_fileName);
        m_knownSize = -1;
    }
    // Plain system calls rather than QFile: QFile's open adds a status call, a seek and its file
    // engine, which on every record cost more than the open, write and close themselves.
    const int fd = m_encodedFileName.isEmpty() ? -1
                                               : ::open(m_encodedFileName.constData(),
                                                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        showFailure(text, false, m_encodedFileName.isEmpty() ? ENOENT : errno);
        return;
    }
    QByteArray record = cp1252::encode(text);
    record.append("\r\r\n", 3);
    int error = writeAll(fd, record);
    // The rotation check needs the size after the append. Only this gateway appends to its
    // log; others may read it, delete it or cut it short, which can only make it smaller than
    // counted. So the count decides while it stays within the limit, and the file itself
    // (the offset after an O_APPEND write is its size) decides before a rotation.
    qint64 size = -1;
    if (!error) {
        if (m_knownSize >= 0 && m_knownSize + record.size() <= LogBackup::kMaxLogSize)
            size = m_knownSize + record.size();
        else
            size = qint64(::lseek(fd, 0, SEEK_CUR));
    }
    if (::close(fd) != 0 && !error)
        error = errno;
    if (error) {
        m_knownSize = -1;
        showFailure(text, logOnly, error);
        return;
    }
    if (!logOnly)
        m_messages.addMsg(MsgList::Information, text);
    m_backup.buildBackup(size);
    m_knownSize = size > LogBackup::kMaxLogSize ? -1 : size;
    m_eventLog.writeAppLogEvent(text);
}
