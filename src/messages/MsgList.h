#pragma once

#include "common/Services.h"

#include <QList>
#include <QObject>
#include <QString>

class DesktopServices;
class EventSink;
class GatewayState;

// One message waiting for the operator.
struct clsLogDaten {
    QString datum;   // short date of the message
    QString uhrzeit; // long time of the message
    qint32 meldeArt = 1;
    QString bereich; // area: the message window's title
    QString meldetext;
    qint32 dauer = 0;
    QString helpFile; // "file" or "file#topic"; never empty once added
    qint32 helpContext = 0;
    bool flagMsgBox = false;
    quint64 id = 0; // tells a record apart from a later one with the same text
};

// The failure of a platform operation that a caller stepped over and that is still pending when
// it queues a message; addMsg takes it into the message and clears it.
struct LastFailure {
    qint32 number = 0;
    QString source;
    QString description;
    QString helpFile;
    qint32 helpContext = 0;

    bool isSet() const { return number != 0; }
};

// The program-wide list of messages for the operator (msgList), oldest first: the first record
// is the one on display. The message window and its poll timer live in the GUI and follow this
// list through messageAdded().
class MsgList : public QObject, public MessageListOwner
{
    Q_OBJECT
public:
    enum Kind : qint32 { Information = 1, Error = 3 };
    static constexpr int kCapacity = 20;

    MsgList(const GatewayState &state, EventSink &eventLog, DesktopServices &desktop,
            QObject *parent = nullptr);

    // Queues a message. meldetext and bereich may be rewritten (a pending failure of kind 3, an
    // empty area), flagMsgBox is set for errors; callers see the values that were queued.
    void addMsg(qint32 meldeArt, QString &meldetext, QString &bereich, qint32 dauer, bool &flagMsgBox,
                const QString &helpFile);
    // The common call: empty area, duration 0, no flag, the default help file.
    void addMsg(qint32 meldeArt, const QString &meldetext);

    const QList<clsLogDaten> &records() const { return m_records; }
    qsizetype count() const { return m_records.size(); }
    bool isEmpty() const { return m_records.isEmpty(); }
    const clsLogDaten *first() const { return m_records.isEmpty() ? nullptr : &m_records.first(); }

    void removeFirst();
    // Removes the record with this id if it is still queued.
    bool remove(quint64 id);
    void clear();
    // Drops the oldest records until at most n remain; returns how many went.
    qsizetype trimTo(qsizetype n);

    void dropMessages() override { clear(); }

    // Set by the message window's Cancel: the next poll waits 10 seconds.
    bool msgPause = false;

    void setLastFailure(const LastFailure &failure) { m_lastFailure = failure; }
    const LastFailure &lastFailure() const { return m_lastFailure; }

    static QString defaultHelpFile() { return QStringLiteral("PralixAppl.chm"); }

signals:
    // Emitted after every addMsg: the poll timer starts with the first message.
    void messageAdded();

private:
    const GatewayState &m_state;
    EventSink &m_eventLog;
    DesktopServices &m_desktop;
    QList<clsLogDaten> m_records;
    LastFailure m_lastFailure;
    quint64 m_nextId = 1;
};
