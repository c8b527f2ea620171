#include "logging/EventLog.h"

#include "common/Clock.h"
#include "common/Cp1252.h"
#include "common/GatewayState.h"
#include "common/StatusLine.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <vector>

namespace
{

const QString kProgram = QStringLiteral("Kavetta");

// Without a listener on /dev/log the C library tries a new socket and connect for every entry,
// only to drop it; so the socket's presence is looked up at most every 10 seconds.
bool syslogAvailable()
{
    static bool known = false;
    static bool present = false;
    static quint32 checkedAt = 0;
    const quint32 now = tickCount();
    if (!known || (!present && now - checkedAt > 10000)) {
        known = true;
        checkedAt = now;
        present = QFileInfo::exists(QStringLiteral("/dev/log"));
        if (present) {
            // The identity must stay valid for as long as syslog may use it: a literal.
            openlog("Kavetta", LOG_PID, LOG_USER);
        }
    }
    return present;
}

// Where journald listens, an entry can carry fields of its own.
bool journalAvailable()
{
    static const bool present = ::access("/run/systemd/journal/socket", W_OK) == 0;
    return present;
}

int syslogPriority(qint16 type)
{
    switch (type) {
    case EventLog::Error:
        return LOG_ERR;
    case EventLog::Warning:
        return LOG_WARNING;
    default:
        return LOG_INFO;
    }
}

QByteArray escapeLine(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (const char c : bytes) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

EventLog::EventLog(const GatewayState &state) : EventLog(state, qEnvironmentVariable("KAVETTA_EVENTLOG"))
{
}

EventLog::EventLog(const GatewayState &state, const QString &filePath) : m_state(state), m_filePath(filePath)
{
}

qint16 EventLog::normalisedType(qint16 type)
{
    return (type == Error || type == Warning || type == Information) ? type : qint16(Information);
}

QString EventLog::dateText(const QDate &date) const
{
    if (date != m_lastDate) {
        m_lastDate = date;
        m_lastDateText = shortDateText(date);
    }
    return m_lastDateText;
}

QString EventLog::timeText(const QTime &time) const
{
    const int second = time.msecsSinceStartOfDay() / 1000;
    if (second != m_lastSecond) {
        m_lastSecond = second;
        m_lastTimeText = longTimeText(time);
    }
    return m_lastTimeText;
}

QString EventLog::entryText(const QString &msg) const
{
    // Date and time come from one reading of the clock, so that an entry written at midnight
    // cannot pair the old date with the new day's time; one reading is also half the cost.
    const QDateTime now = currentDateTime();
    const QDate date = now.date();
    const QTime time = now.time();
    const QString &modul = m_state.settings.moduleName;

    const QLatin1String sep(" / ");
    QString text;
    text.reserve(qMin<qsizetype>(msg.size(), kMaxEntryLength) + modul.size() * 2 + 160);
    text.append(QLatin1String("<User>")).append(kProgram).append(QLatin1String("</User>  "));
    text.append(QLatin1String("<Area>")).append(modul).append(QLatin1String("</Area>  "));
    // Only the first part of a long message can stand in the entry: a label of megabytes is not
    // copied whole to be cut.
    text.append(QLatin1String("<Msg>")).append(kProgram).append(sep).append(modul).append(sep);
    text.append(QStringView(msg).left(kMaxEntryLength));
    text.append(QLatin1String("</Msg>  <Date>")).append(dateText(date));
    text.append(QLatin1String("</Date>  <Time>")).append(timeText(time)).append(QLatin1String("</Time>  "));
    if (text.size() > kMaxEntryLength) {
        text.truncate(kMaxEntryLength);
        text += QLatin1String("...");
    }
    return text;
}

void EventLog::writeAppLogEvent(const QString &msg, qint16 &evType, const JournalFields &fields)
{
    evType = normalisedType(evType);
    if (!m_filePath.isEmpty() || !journalAvailable()) {
        writeAppLogEvent(msg, evType);
        return;
    }
    const QList<QByteArray> record = journalRecord(entryText(msg), evType, fields);
    std::vector<iovec> parts;
    parts.reserve(size_t(record.size()));
    for (const QByteArray &field : record)
        parts.push_back({const_cast<char *>(field.constData()), size_t(field.size())});
    if (sd_journal_sendv(parts.data(), int(parts.size())) < 0)
        writeAppLogEvent(msg, evType);
}

QList<QByteArray> EventLog::journalRecord(const QString &entry, qint16 type,
                                          const JournalFields &fields) const
{
    QList<QByteArray> out{
        "MESSAGE=" + entry.toUtf8(), "PRIORITY=" + QByteArray::number(syslogPriority(normalisedType(type))),
        "SYSLOG_IDENTIFIER=Kavetta", "KAVETTA_INSTANCE=" + m_state.settings.moduleName.toUtf8()};
    if (fields.messageId)
        out << QByteArray("MESSAGE_ID=") + fields.messageId;
    if (!fields.peer.isEmpty())
        out << "KAVETTA_PEER=" + fields.peer.toUtf8();
    if (!fields.reason.isEmpty())
        out << "KAVETTA_REASON=" + fields.reason.toUtf8();
    return out;
}

void EventLog::writeAppLogEvent(const QString &msg, qint16 &evType)
{
    evType = normalisedType(evType);
    // Where no syslog listens, the entry would only be built to be dropped.
    if (m_filePath.isEmpty() && !syslogAvailable())
        return;
    logEvent(entryText(msg), evType);
}

bool EventLog::appendToFile(const QString &text, qint16 type, QString *failure)
{
    QFile file(m_filePath);
    QByteArray line = QByteArray::number(type) + ' ' + escapeLine(cp1252::encode(text)) + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered) ||
        file.write(line) != line.size()) {
        if (failure)
            *failure = file.errorString();
        return false;
    }
    file.close();
    return true;
}

bool EventLog::logEvent(const QString &text, qint16 type, QString *failure)
{
    type = normalisedType(type);
    if (m_filePath.isEmpty()) {
        if (syslogAvailable())
            syslog(syslogPriority(type), "%s", text.toUtf8().constData());
        return true;
    }
    QString why;
    // After a run of failures, the count of what was lost goes first.
    const bool recovered =
        m_lostNow == 0 || appendToFile(entryText(QStringLiteral("Event log %1 is written again: %2 entries "
                                                                "could not be written")
                                                     .arg(m_filePath)
                                                     .arg(m_lostNow)),
                                       Warning, &why);
    if (recovered) {
        m_lostNow = 0;
        if (appendToFile(text, type, &why))
            return true;
    }
    ++m_lostTotal;
    if (m_lostNow++ == 0) {
        // The file cannot say it; the journal can (standard error reaches it under a service
        // manager, syslog everywhere else it runs).
        const QByteArray notice = QStringLiteral("Event log %1 cannot be written (%2): its entries are lost "
                                                 "until it can be written again")
                                      .arg(m_filePath, why)
                                      .toUtf8();
        if (syslogAvailable())
            syslog(LOG_ERR, "%s", notice.constData());
        std::fprintf(stderr, "kavetta: %s\n", notice.constData());
    }
    if (failure)
        *failure = why;
    return false;
}

bool EventLog::decodeFileLine(const QByteArray &line, qint16 *type, QString *entry)
{
    QByteArray body = line;
    if (body.endsWith('\n'))
        body.chop(1);
    const qsizetype blank = body.indexOf(' ');
    if (blank <= 0)
        return false;
    bool ok = false;
    const int t = body.left(blank).toInt(&ok);
    if (!ok)
        return false;
    QByteArray raw;
    raw.reserve(body.size());
    for (qsizetype i = blank + 1; i < body.size(); ++i) {
        const char c = body.at(i);
        if (c == '\\' && i + 1 < body.size()) {
            const char n = body.at(++i);
            raw += n == 'r' ? '\r' : n == 'n' ? '\n' : n;
        } else {
            raw += c;
        }
    }
    if (type)
        *type = static_cast<qint16>(t);
    if (entry)
        *entry = cp1252::decode(raw);
    return true;
}
