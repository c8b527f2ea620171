#pragma once

#include "plclink/PlcProtocol.h"
#include "plclink/TargetedLink.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTimer>

#include <functional>
#include <optional>

// The PLC link over TCP to a PLC runtime (docs/plc-link-protocol.md).
//
// The first operation connects (bounded by the call time-out); from then on the link keeps the
// connection itself: a lost or failed connection is retried in the background, and when it is
// back the link raises stateChanged(5) because the runtime forgot the handles of the old one.
// While the link is down every operation fails at once instead of waiting: with Timeout while the
// runtime is there but not answering (a paused or overloaded process costs one call time-out,
// not one per call), with NotConnected when it refused or closed the connection. The background
// reconnection (connect and greeting) never blocks.
class RuntimeLink : public TargetedLink
{
    Q_OBJECT
public:
    explicit RuntimeLink(EventSink *events = nullptr, QObject *parent = nullptr);
    ~RuntimeLink() override;

    // The gateway's calls (see TargetedLink) beside the ones with sizes below.
    using TargetedLink::connectVar, TargetedLink::readVarBool, TargetedLink::writeVarBool,
        TargetedLink::writeVarString, TargetedLink::writeVarLong, TargetedLink::writeVarInt;

    QString targetDescription() const override;
    qint32 createVarHandle(const QString &name, qint32 &handle) override;
    qint32 deleteVarHandle(qint32 handle) override;
    qint32 connectVar(const QString &name, qint32 mode, qint32 cycle, qint32 &notifyHandle,
                      void *user) override;
    qint32 disconnectVar(qint32 notifyHandle) override;
    qint32 readVarBool(qint32 handle, qint32 size, bool &value) override;
    qint32 writeVarBool(qint32 handle, qint32 size, bool value) override;
    qint32 readVarString(qint32 handle, qint32 size, QString &text) override;
    qint32 writeVarString(qint32 handle, qint32 length, const QString &text) override;
    qint32 writeVarLong(qint32 handle, qint32 size, qint32 value) override;
    qint32 writeVarInt(qint32 handle, qint32 size, qint16 value) override;
    // One Batch request when the runtime speaks it (conditions included from version 3; split
    // before a condition at version 2), single calls otherwise.
    void exchange(std::span<LinkOp> ops) override;
    qint32 releaseLink() override;

    // The protocol version the runtime accepted on this connection, 0 while not connected.
    quint16 protocolVersion() const { return m_version; }

    // The runtime's program state as last reported (5 running, 6 stopped), 0 when unknown.
    quint32 runtimeState() const { return m_runtimeState; }

    // Typed access beyond the gateway's needs, for the runtime stand-in's command line: the
    // declared type of a handle's variable, reads and writes in that type, program control.
    qint32 variableType(qint32 handle, plcproto::VarType &type, quint32 &capacity) const;
    qint32 readValue(qint32 handle, plcproto::Value &value);
    qint32 writeValue(qint32 handle, const plcproto::Value &value);
    qint32 controlProgram(plcproto::ControlOp op);

private:
    struct HandleEntry {
        quint32 remote = 0;
        plcproto::VarType type = plcproto::VarType::Bool;
        quint32 capacity = 0;
    };
    struct NotifyEntry {
        quint32 remote = 0;
        void *user = nullptr;
    };

    // The connection's callbacks: the greeting of a background attempt, data, a closing socket.
    void greet() override;
    void receive() override;
    void forgetConnection() override;

    qint32 transact(plcproto::Message &request, plcproto::Message &reply);
    qint32 waitReply(quint32 seq, const QElapsedTimer &started, plcproto::Message &reply, bool &open);
    quint32 nextSeq() { return ++m_seq == 0 ? ++m_seq : m_seq; }
    qint32 ensureConnected();
    qint32 sendAll(const QByteArray &frame, const QElapsedTimer &started);
    void newSession();
    void onHeartbeat();
    // Bytes from the socket into the frame reader; false when the connection ended.
    bool receiveAvailable();
    // Consumes complete frames; replies go to matchSeq (0: none expected). Returns false on a
    // protocol error.
    bool processFrames(quint32 matchSeq, std::optional<plcproto::Message> &matched);
    void queuePush(const plcproto::Message &msg);
    bool registration(quint32 key, qint32 &notifyHandle, void *&user) const override;
    void applyHello(const plcproto::Message &reply, bool announce);
    qint32 remoteHandle(qint32 handle, quint32 &remote) const;
    // One round trip: the transport's failure, or else the runtime's answer code.
    qint32 call(plcproto::Message &request, plcproto::Message &reply);
    // A request on a variable handle: connected first, the handle turned into the runtime's.
    qint32 handleCall(qint32 handle, plcproto::Message &request, plcproto::Message &reply);
    // One round trip for an operation on a symbol name (create a handle, subscribe).
    qint32 nameRequest(plcproto::MsgType type, const QString &name, plcproto::Message &reply);
    qint32 readTyped(qint32 handle, plcproto::VarType type, plcproto::Value &value);
    // A greeting with this version; its sequence number becomes m_helloSeq.
    qint32 sendHello(quint16 version, const QElapsedTimer &started);
    // The operations a Batch can carry, with the local failures already given as their codes;
    // false when the request would not fit into one frame.
    bool batchRequest(std::span<LinkOp> ops, plcproto::Message &request, QList<LinkOp *> &sent);
    // The operations in one Batch when there are several and the runtime has it.
    void batch(std::span<LinkOp> ops);

    plcproto::FrameReader m_reader;
    quint32 m_seq = 0;
    quint32 m_helloSeq = 0;
    quint16 m_helloVersion = plcproto::Version;
    quint16 m_version = 0;
    quint32 m_runtimeState = 0;
    QTimer m_heartbeat;
    QElapsedTimer m_lastReceived;
    QElapsedTimer m_lastSent;

    QHash<qint32, HandleEntry> m_handles;
    QHash<qint32, NotifyEntry> m_notifies;
    QHash<quint32, qint32> m_notifyByRemote;
};
