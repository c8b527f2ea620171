#pragma once

#include "plclink/LinkCodes.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class EventSink;
class QHostAddress;
class QSocketNotifier;

// The TCP connection of a PLC link, which the link keeps by itself: the first operation
// connects within a bound; a failed or lost connection is retried in the background after
// 100 ms, the delay doubling up to one second; a background attempt never blocks (its connect
// and the link's greeting are watched by socket notifiers and bounded by a timer).
//
// The connection knows no protocol: the link greets the other side once the socket is
// connected and tells whether that worked (established, fail). While the link cannot connect,
// one error entry per episode goes to the event sink, naming the target and the reason, and
// one entry says when the link is back; retries write nothing.
class LinkConnection : public QObject
{
    Q_OBJECT
public:
    enum class State { Idle, Connecting, Connected, Down };
    Q_ENUM(State)

    // What the link does for its connection.
    struct Callbacks {
        // The address to connect to; false when the link's target texts name none.
        std::function<bool(QHostAddress &address, quint16 &port)> target;
        // The target in words, for the event log: "the PLC runtime at 127.0.0.1:48898".
        std::function<QString()> describe;
        // The socket of a background attempt is connected: the link greets the other side and
        // calls established() when it answers, fail() otherwise.
        std::function<void()> connected;
        // Data, or the end of the stream, waits on the socket.
        std::function<void()> readable;
        // The socket is closing: the link forgets what belonged to it. Runs on every close, also
        // when no socket was open.
        std::function<void()> disconnected;
        // The state changed; runs inside the call that changed it.
        std::function<void(State)> stateChanged;
    };

    explicit LinkConnection(Callbacks callbacks, QObject *parent = nullptr);
    ~LinkConnection() override;

    void setEventSink(EventSink *events) { m_events = events; }
    EventSink *eventSink() const { return m_events; }
    // Upper bound of a connect and of the greeting that follows it, in milliseconds.
    void setCallTimeout(int ms) { m_callTimeout = qMax(1, ms); }
    int callTimeout() const { return m_callTimeout; }
    // First delay before a reconnection attempt; it doubles up to one second.
    void setReconnectDelay(int ms) { m_firstDelay = m_nextDelay = qMax(1, ms); }

    State state() const { return m_state; }
    static QString stateText(State state);
    int fd() const { return m_fd; }
    // The socket is open and watched for data.
    bool watching() const { return m_fd >= 0 && m_readNotifier; }
    // What every operation returns at once while the link is not connected: Timeout while the
    // other side is known to be there but not answering, NotConnected otherwise.
    qint32 downCode() const { return m_downCode; }
    // Why the link last failed, in plain words; empty until it first failed.
    const QString &lastFailure() const { return m_lastFailure; }
    void noteFailure(const QString &why) { m_lastFailure = why; }

    // Connected: Ok. Idle: connects now, waiting at most waitMs, and gives Ok with opened set
    // once the socket is connected (the link then greets and calls established() or fail()),
    // InvalidTarget (the link stays idle), or the failure (the link is then down and retrying).
    // Connecting or down: downCode() at once.
    qint32 connectIfIdle(int waitMs, bool &opened);
    // The other side answered the greeting: connected.
    void established();
    // The connection failed or was lost: closed, down, and retried after the delay. code is
    // Timeout when the other side is there but not answering; why says it in plain words (by
    // default the code's meaning).
    void fail(qint32 code, const QString &why = {});
    // The target changed: connect to the new one at once (nothing happens while idle).
    void retarget();
    // Closes the connection and stays idle until the next connectIfIdle.
    void release();
    void close();

private:
    void setState(State state);
    void scheduleRetry();
    void retry();
    void onWritable();
    void onGreetingTimeout();
    void watchReads();
    QString reasonText(qint32 code) const;
    // An episode of failed connecting begins: one entry (again only for another target).
    void reportDown(bool retrying);

    Callbacks m_callbacks;
    EventSink *m_events = nullptr;
    int m_callTimeout = 500;
    int m_firstDelay = 100;
    int m_nextDelay = 100;

    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    State m_state = State::Idle;
    qint32 m_downCode = plclink::NotConnected;
    QTimer m_retryTimer;
    // Bounds the connect of a background attempt, then the greeting.
    QTimer m_greetingTimer;

    QString m_lastFailure;
    bool m_episode = false;
    QString m_reportedTarget;
};
