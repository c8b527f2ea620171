#pragma once

#include "plclink/LinkCodes.h"
#include "plclink/LinkConnection.h"
#include "plclink/PlcLink.h"

#include <QVariant>

#include <climits>
#include <deque>
#include <functional>

class EventSink;
class QHostAddress;

// What both real PLC links share: the target properties netId, netId2 (used only while netId is
// empty) and port, the connection to that target, which the link keeps by itself, and the
// delivery of notifications and state changes as events.
//
// Each link offers its operations with the sizes of the typed interface (mode and cycle of a
// registration, the byte size of a value, the length of a text in bytes, two per character) and
// checks them; the gateway's calls through PlcLink pass the sizes of its variables here.
class TargetedLink : public PlcLink
{
    Q_OBJECT
public:
    using LinkState = LinkConnection::State;
    using enum plclink::Code;

    // defaultPort: the port an empty port text stands for. events may be null.
    TargetedLink(quint16 defaultPort, EventSink *events, QObject *parent);

    QString netId() const override { return m_netId; }
    void setNetId(const QString &value) override;
    QString netId2() const override { return m_netId2; }
    void setNetId2(const QString &value) override;
    QString port() const override { return m_port; }
    void setPort(const QString &value) override;

    qint32 connectVar(const QString &name, qint32 &notifyHandle, void *user) final
    {
        return connectVar(name, NotifyOnChange, 1, notifyHandle, user);
    }
    qint32 readVarBool(qint32 handle, bool &value) final { return readVarBool(handle, 2, value); }
    qint32 writeVarBool(qint32 handle, bool value) final { return writeVarBool(handle, 2, value); }
    qint32 writeVarString(qint32 handle, const QString &text) final
    {
        return writeVarString(handle, qint32(text.size() * 2), text);
    }
    qint32 writeVarLong(qint32 handle, qint32 value) final { return writeVarLong(handle, 4, value); }
    qint32 writeVarInt(qint32 handle, qint16 value) final { return writeVarInt(handle, 2, value); }

    // The operations with their sizes: mode and cycle of a registration; size of a value in bytes
    // (at least 1 for BOOL, 2 for INT, 4 for DINT), of a text in characters to read at most;
    // length of a text to write in bytes, two per character, which may cut the text.
    static constexpr qint32 NotifyOnChange = 4;
    virtual qint32 connectVar(const QString &name, qint32 mode, qint32 cycle, qint32 &notifyHandle,
                              void *user) = 0;
    virtual qint32 readVarBool(qint32 handle, qint32 size, bool &value) = 0;
    virtual qint32 writeVarBool(qint32 handle, qint32 size, bool value) = 0;
    virtual qint32 writeVarString(qint32 handle, qint32 length, const QString &text) = 0;
    virtual qint32 writeVarLong(qint32 handle, qint32 size, qint32 value) = 0;
    virtual qint32 writeVarInt(qint32 handle, qint32 size, qint16 value) = 0;

    qint32 showProperties() override;
    // Runs the settings dialog; the core has no widgets, so the window installs it.
    void setPropertiesHandler(std::function<void()> handler) { m_propertiesHandler = std::move(handler); }

    bool isConnected() const override { return linkState() == LinkState::Connected; }
    QString lastFailure() const override { return m_connection.lastFailure(); }

    // Upper bound of one operation (and of a connection attempt), in milliseconds.
    void setCallTimeout(int ms) { m_connection.setCallTimeout(ms); }
    int callTimeout() const { return m_connection.callTimeout(); }
    // First delay before a reconnection attempt; it doubles up to one second.
    void setReconnectDelay(int ms) { m_connection.setReconnectDelay(ms); }

    LinkState linkState() const { return m_connection.state(); }
    static QString linkStateText(LinkState state) { return LinkConnection::stateText(state); }

    // The target the texts stand for: an empty net id means this workstation, an empty port the
    // default port. False when the texts do not name a usable target.
    static bool parseTarget(const QString &netId, const QString &port, quint16 defaultPort,
                            QHostAddress &address, quint16 &portNumber);
    // The port an empty port text stands for.
    quint16 defaultPort() const { return m_defaultPort; }
    // The current target.
    bool target(QHostAddress &address, quint16 &portNumber) const;
    // "127.0.0.1:48898", "[::1]:502"
    static QString endpointText(const QHostAddress &address, quint16 portNumber);

signals:
    void linkStateChanged(LinkConnection::State state);

protected:
    // The address the link connects to.
    QString targetAddress() const { return m_netId.trimmed().isEmpty() ? m_netId2 : m_netId; }
    // "127.0.0.1:48898", "[::1]:502", or the texts themselves when they name no target.
    QString hostAndPort() const;
    // The next handle the link gives out for a variable or a registration: 1, 2, ... and after
    // the largest one 1 again.
    qint32 takeHandle()
    {
        const qint32 handle = m_nextHandle;
        m_nextHandle = m_nextHandle == INT_MAX ? 1 : m_nextHandle + 1;
        return handle;
    }

    // The link's part of its connection (see LinkConnection::Callbacks).
    virtual void greet() = 0;
    virtual void receive() = 0;
    virtual void forgetConnection() = 0;
    virtual void linkStateEntered(LinkState state) { Q_UNUSED(state); }

    // The outcome of making a handle for a variable name. An unknown name goes to the event log
    // once until a name is found again (a misspelled module name fails at every reconnection).
    void noteLookup(const QString &name, qint32 code);

    // A value for the registration that key stands for, or a state change, delivered as an event
    // once the running handler has returned; a handler that calls the link and queues more sees
    // those in the next round.
    void queueUpdate(quint32 key, const QVariant &value);
    void queueStateChange(qint32 state, qint32 other);
    // Values queued before are not delivered any more (their registrations are gone); state
    // changes still are.
    void endSession() { ++m_session; }
    // Nothing queued is delivered.
    void dropEvents() { m_events.clear(); }
    // The registration a queued value's key stands for at delivery: false when it is gone.
    virtual bool registration(quint32 key, qint32 &notifyHandle, void *&user) const = 0;

    LinkConnection m_connection;

private:
    struct Event {
        bool update = true;
        quint32 key = 0;
        QVariant value;
        qint32 state = 0;
        qint32 other = 0;
        quint32 session = 0;
    };
    void queue(Event event);
    void deliverEvents();

    QString m_netId;
    QString m_netId2;
    QString m_port;
    quint16 m_defaultPort;
    bool m_nameMissing = false;
    std::function<void()> m_propertiesHandler;
    std::deque<Event> m_events;
    bool m_deliveryQueued = false;
    quint32 m_session = 0;
    qint32 m_nextHandle = 1;
};
