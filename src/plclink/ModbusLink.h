#pragma once

#include "plclink/TargetedLink.h"
#include "plclink/VariableMap.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTimer>

#include <functional>
#include <map>

struct _modbus;

// The PLC link over Modbus/TCP (docs/plc-link-modbus.md): the variable names of the gateway
// are looked up in a variable map and read and written as coils and registers of the PLC.
//
// Handles live in the link only; an operation on a handle is one or more Modbus requests,
// bounded together by the call time-out. Modbus has no notifications: the link reads the
// registered variables every poll period and raises connectUpdate when a value differs from
// the last one seen (a value the link wrote itself counts as seen).
//
// Connection: the first operation connects (within the call time-out). After a lost
// connection, a time-out or a garbled answer the link is down: every operation that needs
// the PLC fails at once (Timeout while the PLC is there but not answering, so a hung PLC costs
// one call time-out and not one per call; NotConnected when it is gone), and the link
// reconnects in the background without blocking. It is connected again only once the PLC has
// answered a request, and then raises stateChanged(5).
class ModbusLink : public TargetedLink
{
    Q_OBJECT
public:
    static constexpr quint16 DefaultPort = 502;

    // The link's own results beside the common ones (plclink/LinkCodes.h): a Modbus exception from
    // the PLC gives ExceptionBase plus its exception code.
    enum ModbusCode : qint32 {
        ExceptionBase = 1830, // alone: an exception code beyond 11
        IllegalFunction = 1831,
        IllegalAddress = 1832,
        IllegalValue = 1833,
        DeviceFailure = 1834,
        DeviceBusy = 1836,
        GatewayPath = 1840,
        GatewayTarget = 1841,
        ReadOnly = 1850,
        NoMap = 1851,
    };

    explicit ModbusLink(modbusmap::VariableMap map, EventSink *events = nullptr, QObject *parent = nullptr);
    // A link whose map could not be used: every operation on a variable gives NoMap.
    ModbusLink(const QString &mapFile, const QString &mapProblem, EventSink *events = nullptr,
               QObject *parent = nullptr);
    ~ModbusLink() override;

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
    // A register write followed by the read of a BOOL in a holding register of the same unit goes
    // out as one read/write request (function 23); everything else, and everything after the PLC
    // refused that function once, as single requests. Split before an operation that depends on
    // a read of the same call.
    void exchange(std::span<LinkOp> ops) override;
    qint32 releaseLink() override;

    // Whether the PLC refused the combined request (the link then no longer tries it).
    bool combinedRefused() const { return m_combinedRefused; }

    // Period of the reads of registered variables; the map's setting unless set here.
    void setPollInterval(int ms);
    int pollInterval() const { return m_pollTimer.interval(); }

    // Number of times the link got its connection back (the second argument of stateChanged).
    qint32 reconnections() const { return m_reconnections; }

    const modbusmap::VariableMap &map() const { return m_map; }
    // Empty, or why the map file could not be used.
    const QString &mapProblem() const { return m_mapProblem; }

    // Typed access beyond the gateway's needs (the value as connectUpdate would carry it).
    qint32 readValue(qint32 handle, QVariant &value);

private:
    class Deadline
    {
    public:
        explicit Deadline(int boundMs) : m_bound(boundMs) { m_timer.start(); }
        int remaining() const { return int(qMax<qint64>(0, m_bound - m_timer.elapsed())); }

    private:
        QElapsedTimer m_timer;
        int m_bound;
    };
    struct Registration {
        int variable = 0;
        void *user = nullptr;
        QVariant last;
    };

    void init();
    const modbusmap::Variable *variableOf(qint32 handle, qint32 &code) const;
    // The variable of a handle for an operation on a value of the wanted type; null with the
    // code of the first check it fails: InvalidSize (unless sizeFits), InvalidHandle, WrongType.
    const modbusmap::Variable *checkedVariable(qint32 handle, modbusmap::Type wanted, qint32 &code,
                                               bool sizeFits = true) const;
    qint32 lookup(const QString &name, int &index) const;

    // One Modbus request through the library, bounded by what is left of the deadline.
    qint32 request(int unit, const Deadline &deadline, const std::function<int(_modbus *)> &call);
    qint32 failure(int error);
    qint32 readRegisters(const modbusmap::Variable &v, int offset, int count, quint16 *out,
                         const Deadline &deadline);
    qint32 writeRegisters(const modbusmap::Variable &v, int offset, const QList<quint16> &regs,
                          const Deadline &deadline);
    qint32 readBool(const modbusmap::Variable &v, bool &value, const Deadline &deadline);
    qint32 readString(const modbusmap::Variable &v, int maxChars, QByteArray &bytes,
                      const Deadline &deadline);
    qint32 readVariable(const modbusmap::Variable &v, QVariant &value, const Deadline &deadline);
    // Reads the first and the last coil or register of the variable: the PLC serves it.
    qint32 probeVariable(const modbusmap::Variable &v, const Deadline &deadline);
    // A write after the checks of checkedVariable and ReadOnly; a write that succeeded counts as
    // seen with the value written.
    qint32 writeChecked(qint32 handle, modbusmap::Type wanted, bool sizeFits,
                        const std::function<qint32(const modbusmap::Variable &, const Deadline &)> &write,
                        const QVariant &written);
    // A BOOL, INT or DINT value: a coil, or the registers of the variable.
    qint32 writeNumber(qint32 handle, modbusmap::Type wanted, bool sizeFits, qint32 number,
                       const QVariant &written);
    void noteWritten(int variable, const QVariant &value);
    // One part of an exchange, without conditions.
    void exchangePart(std::span<LinkOp> ops);
    // The registers of a write that the combined request can carry, and the value written as a
    // notification carries it; false when the operations do not fit it.
    bool combinable(std::span<const LinkOp> ops, const modbusmap::Variable *&target,
                    const modbusmap::Variable *&flag, QList<quint16> &regs, QVariant &written) const;

    qint32 ensureConnected(const Deadline &deadline);
    void becomeConnected(bool announce);
    // The connection's callbacks: the probe of a background attempt, data, a closing socket.
    void greet() override;
    void receive() override;
    void forgetConnection() override;
    void linkStateEntered(LinkState state) override;
    void updatePolling();
    void poll();
    bool registration(quint32 key, qint32 &notifyHandle, void *&user) const override;

    modbusmap::VariableMap m_map;
    QString m_mapProblem;

    _modbus *m_ctx = nullptr;
    qint32 m_reconnections = 0;
    QTimer m_pollTimer;
    QByteArray m_probeRequest;
    QByteArray m_probeReply;
    quint16 m_probeId = 0;

    QHash<qint32, int> m_handles; // handle -> variable
    std::map<qint32, Registration> m_notifies;
    bool m_combinedRefused = false;
};
