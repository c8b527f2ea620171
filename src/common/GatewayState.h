#pragma once

#include "common/LineCounters.h"
#include "common/QueueJournal.h"
#include "common/RequestTracker.h"
#include "common/SafetyOptions.h"
#include "common/Settings.h"

#include <QObject>
#include <QString>
#include <QStringList>

// The state of one gateway instance: the settings fields of the main window (their live copy),
// the settings made from them, the labels, the queues and the flags the cycles
// share. The window shows and edits it; the core reads and writes it. Whoever changes a member
// calls notify() (or uses a setter that does), so that a shown window follows.
class GatewayState : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The settings fields as the window holds them, and the settings the cycles read.
    SettingsFields edited;
    Settings settings;
    QString configFile;

    // What the window shows besides the fields.
    QString lblState, lblError, lblLastComm;
    QString sendText; // the text the operator sends by hand
    bool showHistory = false;
    bool editMode = false; // the check mark of the edit menu item
    bool connectButtonVisible = true;
    bool closeButtonVisible = true;
    QString applicationTitle;
    QString windowCaption;
    QString logFileName;
    bool logEnabled = true; // false while the disk of the program folder is short of space

    // Requests waiting for the peer (item 0 is the one in progress) and answers waiting for
    // the PLC.
    QStringList sendQueue;
    QStringList receiveQueue;
    // Where the queues are kept on disk ([journal] in the instance options); null: nowhere. The
    // members below change a queue and tell the journal; code that runs without a journal may
    // change the lists directly.
    QueueJournal *journal = nullptr;
    void queueSend(const QString &text) { append(QueueJournal::Send, text); }
    void dropFirstSend() { dropFirst(QueueJournal::Send); }
    void clearSend() { clear(QueueJournal::Send); }
    void queueAnswer(const QString &text) { append(QueueJournal::Receive, text); }
    void dropFirstAnswer() { dropFirst(QueueJournal::Receive); }
    void clearAnswers() { clear(QueueJournal::Receive); }
    void handingOver(QueueJournal::Queue queue)
    {
        if (journal)
            journal->handingOver(queue);
    }
    void handOverWithdrawn(QueueJournal::Queue queue)
    {
        if (journal)
            journal->handOverWithdrawn(queue);
    }

    // The [safety] options of the instance options file, read again with every load.
    SafetyOptions safety;
    // The requests on the peer connection that wait for their answers.
    RequestTracker answers;

    // Flags the socket events leave for the next supervision tick.
    QString socketErrorText; // last endpoint error, shown once by the next tick
    QString lastPeerError;   // its description, kept whatever settings.statusReport says
    bool resetRequest = false;
    // Part of an answer is in hand (framed answers): the stream is in the middle of one.
    bool answerInProgress = false;
    // Why the journal, switched on, keeps nothing on disk now; empty while it does (or is off).
    QString journalProblem;
    bool sendDone = false;
    bool connAccepted = false;
    bool acceptClosing = false; // only written: true while a connection request closes the old one
    // The moment (monotonic milliseconds, common/Clock) from which the 2-second spacing of
    // requests counts; 0 = unset.
    qint64 lastSendTimer = 0;

    // What happened on the line since the start, for the status surfaces.
    LineCounters counters;

    // Tick count at the start of the most recent PLC request (0 before the first).
    quint32 requestTick = 0;

    void notify() { emit changed(); }
    void setLblState(const QString &text);
    void setLblError(const QString &text);
    void setLblLastComm(const QString &text);
    // editControls: lock the settings fields and take them out of the tab order (false), or
    // the opposite; the send text stays editable either way (the window applies it).
    void editControls(bool onOff);

signals:
    void changed();

private:
    QStringList &queue(QueueJournal::Queue which)
    {
        return which == QueueJournal::Send ? sendQueue : receiveQueue;
    }
    void append(QueueJournal::Queue which, const QString &text);
    void dropFirst(QueueJournal::Queue which);
    void clear(QueueJournal::Queue which);
};
