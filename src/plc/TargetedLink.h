#pragma once

#include "plc/KeloLink.h"
#include "plc/LinkCodes.h"
#include "plc/LinkConnection.h"

class EventSink;
class QHostAddress;

// What both real PLC links share: the target properties netId, netId2 (used only while netId is
// empty) and port, and the connection to that target, which the link keeps by itself.
class TargetedLink : public KeloLink
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

    // The link's part of its connection (see LinkConnection::Callbacks).
    virtual void greet() = 0;
    virtual void receive() = 0;
    virtual void forgetConnection() = 0;
    virtual void linkStateEntered(LinkState state) { Q_UNUSED(state); }

    // The outcome of making a handle for a variable name. An unknown name goes to the event log
    // once until a name is found again (a misspelled module name fails at every reconnection).
    void noteLookup(const QString &name, qint32 code);

    LinkConnection m_connection;

private:
    QString m_netId;
    QString m_netId2;
    QString m_port;
    quint16 m_defaultPort;
    bool m_nameMissing = false;
};
