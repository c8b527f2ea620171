#pragma once

#include "common/EventSink.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <QTime>
#include <QtGlobal>

class GatewayState;

// The system's application event log. Entries go to syslog under the identity "Kavetta" (while
// the host has no syslog socket they are dropped without asking the C library each time), or,
// when KAVETTA_EVENTLOG names a file, to that file, one line per entry (for hosts without
// syslog and for tests).
//
// File lines read "<type> <entry>", the type being 1, 2 or 4. An entry that holds line breaks
// would break the one-line-per-entry form, so backslash, CR and LF are written as "\\", "\r"
// and "\n"; decodeFileLine() turns such a line back into its type and entry.
//
// A file that cannot be written loses its entries; the first failure of a run of failures says
// so once in the system's journal (syslog and standard error), and the first entry written
// after it is preceded by one that gives the number of entries lost meanwhile.
// What a journald entry carries beside its message, so that journalctl can select the entries
// of one kind (journalctl MESSAGE_ID=... or KAVETTA_PEER=...): a stable message id, the peer and
// the reason. The instance (KAVETTA_INSTANCE, the module name) is added by the event log.
struct JournalFields {
    const char *messageId = nullptr; // 32 hex digits
    QString peer;
    QString reason;
};

class EventLog : public EventSink
{
public:
    // The message ids: an error of the printer connection, and a queued item dropped unserved.
    static constexpr const char *kPeerErrorId = "d53164d5d18b4677a46ae94b5bfe6bd4";
    static constexpr const char *kItemDroppedId = "03fc5fc349d547348ad6b8889cdd759e";

    enum Type : qint16 { Error = 1, Warning = 2, Information = 4 };

    // filePath empty: syslog. The default reads KAVETTA_EVENTLOG once, here.
    explicit EventLog(const GatewayState &state);
    EventLog(const GatewayState &state, const QString &filePath);

    // The formatted entry with <User>, <Area>, <Msg>, <Date> and <Time>, cut after 30000
    // characters. evType is normalised to 1, 2 or 4 and written back. Never fails.
    void writeAppLogEvent(const QString &msg, qint16 &evType);
    // The same; where journald takes the entries (no KAVETTA_EVENTLOG file), with these fields.
    void writeAppLogEvent(const QString &msg, qint16 &evType, const JournalFields &fields);
    // The fields of a journald entry, "KEY=value" each: MESSAGE, PRIORITY, SYSLOG_IDENTIFIER
    // and those of fields with the instance.
    QList<QByteArray> journalRecord(const QString &entry, qint16 type, const JournalFields &fields) const;
    void writeAppLogEvent(const QString &msg)
    {
        qint16 type = Information;
        writeAppLogEvent(msg, type);
    }

    // An event of a part below the logging, as a formatted entry of its type.
    void event(EventType type, const QString &text) override
    {
        qint16 t = type;
        writeAppLogEvent(text, t);
    }
    bool rawEvent(EventType type, const QString &text, QString *failure) override
    {
        return logEvent(text, type, failure);
    }

    // The entry text of writeAppLogEvent for the given message (date and time read now).
    QString entryText(const QString &msg) const;

    // Writes one raw entry. Returns false with a description of the failure when the entry
    // could not be written (only the file form can tell).
    bool logEvent(const QString &text, qint16 type, QString *failure = nullptr);

    QString filePath() const { return m_filePath; }
    // Entries that could not be written since the program started.
    quint64 lostEntries() const { return m_lostTotal; }

    static qint16 normalisedType(qint16 type);
    static bool decodeFileLine(const QByteArray &line, qint16 *type, QString *entry);

    static constexpr int kMaxEntryLength = 30000;

private:
    QString dateText(const QDate &date) const;
    QString timeText(const QTime &time) const;
    bool appendToFile(const QString &text, qint16 type, QString *failure);

    const GatewayState &m_state;
    QString m_filePath;
    // Entries lost in the current run of failures of the file (0: writing works), and in all.
    quint64 m_lostNow = 0;
    quint64 m_lostTotal = 0;
    // The texts of the last date and second, reused while they last: formatting them costs more
    // than the rest of an entry.
    mutable QDate m_lastDate;
    mutable QString m_lastDateText;
    mutable int m_lastSecond = -1;
    mutable QString m_lastTimeText;
};
