#include "plclink/ModbusLink.h"

#include "common/Cp1252.h"
#include "plclink/ModbusRegisters.h"

#include <modbus.h>

#include <cerrno>
#include <climits>
#include <sys/socket.h>

using namespace modbusmap;
using namespace modbusregs;

ModbusLink::ModbusLink(VariableMap map, EventSink *events, QObject *parent)
    : TargetedLink(DefaultPort, events, parent), m_map(std::move(map))
{
    init();
}

ModbusLink::ModbusLink(const QString &mapFile, const QString &mapProblem, EventSink *events, QObject *parent)
    : TargetedLink(DefaultPort, events, parent), m_mapProblem(mapProblem)
{
    QString ignored;
    m_map.parse(QString(), mapFile, ignored);
    init();
}

void ModbusLink::init()
{
    // The library only frames requests and answers here: the link's connection makes the socket
    // (without blocking when it reconnects) and hands it over.
    m_ctx = modbus_new_tcp("127.0.0.1", DefaultPort);
    modbus_set_error_recovery(m_ctx, MODBUS_ERROR_RECOVERY_NONE);
    m_pollTimer.setInterval(m_map.pollMs());
    connect(&m_pollTimer, &QTimer::timeout, this, &ModbusLink::poll);
}

ModbusLink::~ModbusLink()
{
    m_connection.close();
    modbus_free(m_ctx);
}

QString ModbusLink::targetDescription() const
{
    return QStringLiteral("the Modbus/TCP PLC at %1 (map %2)").arg(hostAndPort(), m_map.file());
}

void ModbusLink::setPollInterval(int ms)
{
    m_pollTimer.setInterval(qBound(1, ms, MaxPollMs));
}

// --- connection ------------------------------------------------------------------------------
//
// The link's connection makes the socket with plain POSIX calls and it is given to the library,
// which only offers a connect that blocks; a reconnection must not block the gateway. Between
// operations the connection watches the socket, so a PLC that closes it is noticed at once.

void ModbusLink::forgetConnection()
{
    modbus_set_socket(m_ctx, -1);
    m_probeReply.clear();
}

void ModbusLink::linkStateEntered(LinkState)
{
    updatePolling();
}

void ModbusLink::becomeConnected(bool announce)
{
    m_probeReply.clear();
    modbus_set_socket(m_ctx, m_connection.fd());
    // Values seen on the old connection say nothing about what happened meanwhile.
    for (auto &[notify, reg] : m_notifies)
        reg.last = QVariant();
    m_connection.established();
    if (announce) {
        // The PLC may have been restarted, and requests may have been lost: the owner makes
        // its handles and registrations anew, as after a program start on the other link.
        queueStateChange(5, ++m_reconnections);
    }
}

qint32 ModbusLink::ensureConnected(const Deadline &deadline)
{
    // The first connection waits for the connect, within the operation's bound.
    bool opened = false;
    const qint32 rc = m_connection.connectIfIdle(deadline.remaining(), opened);
    if (rc == Ok && opened)
        becomeConnected(false);
    return rc;
}

// A PLC counts as back only once it answers: the connect alone succeeds even while its program
// hangs. The probe reads the first variable of the map (any answer will do, an exception too).
// The answer is taken apart here rather than by the library, whose receive blocks.
void ModbusLink::greet()
{
    Variable first;
    if (!m_map.variables().isEmpty())
        first = m_map.variables().first();
    m_probeId = quint16(m_probeId + 1);
    m_probeRequest = probeRequest(m_probeId, first);
    m_probeReply.clear();
    if (::send(m_connection.fd(), m_probeRequest.constData(), size_t(m_probeRequest.size()),
               MSG_NOSIGNAL | MSG_DONTWAIT) != m_probeRequest.size())
        m_connection.fail(NotConnected);
}

void ModbusLink::receive()
{
    if (!m_connection.watching())
        return;
    const int fd = m_connection.fd();
    if (linkState() == LinkState::Connected) {
        // Between requests nothing may arrive: either the PLC closed the connection or it sent
        // something nobody asked for; either way the stream is of no further use.
        char byte;
        const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n > 0)
            m_connection.fail(ProtocolError, QStringLiteral("data from the PLC that nobody asked for"));
        else
            m_connection.fail(NotConnected);
        return;
    }
    if (linkState() != LinkState::Connecting)
        return;
    char buffer[MODBUS_TCP_MAX_ADU_LENGTH];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        m_connection.fail(NotConnected);
        return;
    }
    m_probeReply.append(buffer, n);
    switch (probeAnswer(m_probeRequest, m_probeReply)) {
    case ProbeAnswer::Incomplete:
        return;
    case ProbeAnswer::Fits:
        becomeConnected(true);
        return;
    case ProbeAnswer::DoesNotFit:
        m_connection.fail(ProtocolError);
        return;
    }
}

// --- notifications and events ----------------------------------------------------------------

void ModbusLink::updatePolling()
{
    const bool wanted = linkState() == LinkState::Connected && !m_notifies.empty();
    if (wanted && !m_pollTimer.isActive())
        m_pollTimer.start();
    else if (!wanted)
        m_pollTimer.stop();
}

void ModbusLink::poll()
{
    std::vector<qint32> keys;
    keys.reserve(m_notifies.size());
    for (const auto &[notify, reg] : m_notifies)
        keys.push_back(notify);
    for (const qint32 notify : keys) {
        if (linkState() != LinkState::Connected)
            return;
        const auto it = m_notifies.find(notify);
        if (it == m_notifies.end())
            continue;
        QVariant value;
        // A refused read (an exception) is tried again next time; a lost connection ends the
        // round and comes back as stateChanged.
        if (readVariable(m_map.variables()[it->second.variable], value, Deadline(callTimeout())) != Ok)
            continue;
        Registration &reg = m_notifies.at(notify);
        if (reg.last.isValid() && reg.last == value)
            continue;
        reg.last = value;
        queueUpdate(quint32(notify), value);
    }
}

void ModbusLink::noteWritten(int variable, const QVariant &value)
{
    // The link's own write is a change like any other, and the next read must compare with it:
    // a request flag that the owner reset and the PLC set again is a new request.
    for (auto &[notify, reg] : m_notifies) {
        if (reg.variable != variable || (reg.last.isValid() && reg.last == value))
            continue;
        reg.last = value;
        queueUpdate(quint32(notify), value);
    }
}

bool ModbusLink::registration(quint32 key, qint32 &notifyHandle, void *&user) const
{
    const auto it = m_notifies.find(qint32(key));
    if (it == m_notifies.end())
        return false;
    notifyHandle = it->first;
    user = it->second.user;
    return true;
}

// --- operations ------------------------------------------------------------------------------

qint32 ModbusLink::lookup(const QString &name, int &index) const
{
    if (!m_mapProblem.isEmpty())
        return NoMap;
    const Variable *v = m_map.find(name);
    if (!v)
        return UnknownSymbol;
    index = int(v - m_map.variables().constData());
    return Ok;
}

const Variable *ModbusLink::variableOf(qint32 handle, qint32 &code) const
{
    const auto it = m_handles.constFind(handle);
    if (it == m_handles.constEnd()) {
        code = InvalidHandle;
        return nullptr;
    }
    code = Ok;
    return &m_map.variables()[*it];
}

const Variable *ModbusLink::checkedVariable(qint32 handle, Type wanted, qint32 &code, bool sizeFits) const
{
    if (!sizeFits) {
        code = InvalidSize;
        return nullptr;
    }
    const Variable *v = variableOf(handle, code);
    // INT values may go into a DINT, as on the other link.
    if (v && v->type != wanted && !(wanted == Type::Int && v->type == Type::DInt)) {
        code = WrongType;
        return nullptr;
    }
    return v;
}

qint32 ModbusLink::createVarHandle(const QString &name, qint32 &handle)
{
    handle = 0;
    int index = 0;
    if (const qint32 c = lookup(name, index)) {
        noteLookup(name, c);
        return c;
    }
    const Deadline deadline(callTimeout());
    if (const qint32 c = ensureConnected(deadline))
        return c;
    // A map entry that the PLC does not serve shows up here, with the PLC's exception.
    if (const qint32 c = probeVariable(m_map.variables()[index], deadline))
        return c;
    handle = takeHandle();
    m_handles.insert(handle, index);
    noteLookup(name, Ok);
    return Ok;
}

qint32 ModbusLink::deleteVarHandle(qint32 handle)
{
    return m_handles.remove(handle) ? Ok : InvalidHandle;
}

qint32 ModbusLink::connectVar(const QString &name, qint32 mode, qint32 cycle, qint32 &notifyHandle,
                              void *user)
{
    // Registrations are always served by reading every poll period; mode and cycle are
    // accepted as they come.
    Q_UNUSED(mode);
    Q_UNUSED(cycle);
    notifyHandle = 0;
    int index = 0;
    if (const qint32 c = lookup(name, index))
        return c;
    const Deadline deadline(callTimeout());
    if (const qint32 c = ensureConnected(deadline))
        return c;
    QVariant value;
    if (const qint32 c = readVariable(m_map.variables()[index], value, deadline))
        return c;
    notifyHandle = takeHandle();
    m_notifies[notifyHandle] = {index, user, value};
    // The current value first, as a registration on the other link gets it.
    queueUpdate(quint32(notifyHandle), value);
    updatePolling();
    return Ok;
}

qint32 ModbusLink::disconnectVar(qint32 notifyHandle)
{
    if (m_notifies.erase(notifyHandle) == 0)
        return InvalidHandle;
    updatePolling();
    return Ok;
}

qint32 ModbusLink::readValue(qint32 handle, QVariant &value)
{
    qint32 code = Ok;
    const Variable *v = variableOf(handle, code);
    return v ? readVariable(*v, value, Deadline(callTimeout())) : code;
}

qint32 ModbusLink::readVarBool(qint32 handle, qint32 size, bool &value)
{
    qint32 code = Ok;
    const Variable *v = checkedVariable(handle, Type::Bool, code, size >= 1);
    return v ? readBool(*v, value, Deadline(callTimeout())) : code;
}

qint32 ModbusLink::readVarString(qint32 handle, qint32 size, QString &text)
{
    qint32 code = Ok;
    const Variable *v = checkedVariable(handle, Type::String, code, size >= 1);
    if (!v)
        return code;
    QByteArray bytes;
    code = readString(*v, size, bytes, Deadline(callTimeout()));
    if (code == Ok)
        text = cp1252::decode(bytes);
    return code;
}

qint32 ModbusLink::writeChecked(qint32 handle, Type wanted, bool sizeFits,
                                const std::function<qint32(const Variable &, const Deadline &)> &write,
                                const QVariant &written)
{
    qint32 code = Ok;
    const Variable *v = checkedVariable(handle, wanted, code, sizeFits);
    if (!v)
        return code;
    if (!v->isWritable())
        return ReadOnly;
    code = write(*v, Deadline(callTimeout()));
    if (code == Ok)
        noteWritten(int(v - m_map.variables().constData()), written);
    return code;
}

qint32 ModbusLink::writeNumber(qint32 handle, Type wanted, bool sizeFits, qint32 number,
                               const QVariant &written)
{
    return writeChecked(
        handle, wanted, sizeFits,
        [&](const Variable &v, const Deadline &deadline) {
            if (v.area == Area::Coil)
                return request(v.unit, deadline, [&](modbus_t *ctx) {
                    return modbus_write_bit(ctx, v.address, number != 0 ? 1 : 0);
                });
            return writeRegisters(v, 0, registersFromNumber(number, v), deadline);
        },
        written);
}

qint32 ModbusLink::writeVarBool(qint32 handle, qint32 size, bool value)
{
    return writeNumber(handle, Type::Bool, size >= 1, value ? 1 : 0, value);
}

qint32 ModbusLink::writeVarString(qint32 handle, qint32 length, const QString &text)
{
    QByteArray bytes = cp1252::encode(text.left(qMax(0, length / 2)));
    return writeChecked(
        handle, Type::String, length >= 0 && length % 2 == 0,
        [&](const Variable &v, const Deadline &deadline) {
            if (bytes.size() > v.capacity)
                return qint32(ValueTooLong);
            // A shorter text ends in a NUL, so that no reader takes the rest of an older one.
            if (bytes.size() < v.capacity)
                bytes.append('\0');
            return writeRegisters(v, 0, registersFromBytes(bytes, v.swapBytes), deadline);
        },
        cp1252::decode(cutAtNul(bytes)));
}

qint32 ModbusLink::writeVarLong(qint32 handle, qint32 size, qint32 value)
{
    return writeNumber(handle, Type::DInt, size >= 4, value, int(value));
}

qint32 ModbusLink::writeVarInt(qint32 handle, qint32 size, qint16 value)
{
    return writeNumber(handle, Type::Int, size >= 2, value, int(value));
}

bool ModbusLink::combinable(std::span<const LinkOp> ops, const Variable *&target, const Variable *&flag,
                            QList<quint16> &regs, QVariant &written) const
{
    if (m_combinedRefused || ops.size() != 2 || ops[1].kind != LinkOp::Kind::ReadBool)
        return false;
    const LinkOp &write = ops[0];
    Type wanted = Type::Bool;
    switch (write.kind) {
    case LinkOp::Kind::WriteBool:
        written = write.flag;
        break;
    case LinkOp::Kind::WriteInt:
        wanted = Type::Int;
        written = int(qint16(write.number));
        break;
    case LinkOp::Kind::WriteLong:
        wanted = Type::DInt;
        written = int(write.number);
        break;
    case LinkOp::Kind::ReadBool:
    case LinkOp::Kind::WriteString:
        return false;
    }
    qint32 code = Ok;
    target = checkedVariable(write.handle, wanted, code);
    flag = checkedVariable(ops[1].handle, Type::Bool, code);
    if (!target || !flag || flag->area != Area::HoldingRegister || target->area != Area::HoldingRegister ||
        target->unit != flag->unit)
        return false;
    regs = registersFromNumber(written.toInt(), *target);
    return true;
}

void ModbusLink::exchange(std::span<LinkOp> ops)
{
    exchangeInParts(ops, [this](std::span<LinkOp> part) { exchangePart(part); });
}

void ModbusLink::exchangePart(std::span<LinkOp> ops)
{
    const Variable *target = nullptr, *flag = nullptr;
    QList<quint16> regs;
    QVariant written;
    if (!combinable(ops, target, flag, regs, written)) {
        runEach(ops);
        return;
    }
    quint16 read = 0;
    const qint32 code = request(flag->unit, Deadline(callTimeout()), [&](modbus_t *ctx) {
        return modbus_write_and_read_registers(ctx, target->address, int(regs.size()), regs.constData(),
                                               flag->address, 1, &read);
    });
    if (code == Ok) {
        noteWritten(int(target - m_map.variables().constData()), written);
        ops[0].code = Ok;
        ops[1].code = Ok;
        ops[1].flag = read != 0;
        return;
    }
    if (code >= ExceptionBase && code <= GatewayTarget) {
        // Refused as a whole: carried out one by one, with their own answers. A PLC without the
        // function is not asked again.
        if (code == IllegalFunction)
            m_combinedRefused = true;
        runEach(ops);
        return;
    }
    // The connection failed: the read finds the link down, as after a failed single write.
    ops[0].code = code;
    runEach(ops, 1);
}

qint32 ModbusLink::releaseLink()
{
    m_connection.release();
    m_handles.clear();
    m_notifies.clear();
    dropEvents();
    return Ok;
}
