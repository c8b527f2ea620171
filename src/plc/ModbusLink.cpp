#include "plc/ModbusLink.h"

#include "common/Cp1252.h"
#include "plc/KeloOcx.h"

#include <QSocketNotifier>

#include <modbus.h>

#include <cerrno>
#include <climits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace modbusmap;

namespace
{

constexpr int MaxReconnectDelayMs = 1000;

quint16 swapped(quint16 r)
{
    return quint16((r << 8) | (r >> 8));
}

// Two bytes per register, the first byte high unless the map says otherwise.
QList<quint16> registersFromBytes(const QByteArray &bytes, bool swapBytes)
{
    QList<quint16> regs;
    regs.reserve((bytes.size() + 1) / 2);
    for (qsizetype i = 0; i < bytes.size(); i += 2) {
        const quint8 first = quint8(bytes[i]);
        const quint8 second = i + 1 < bytes.size() ? quint8(bytes[i + 1]) : 0;
        const quint16 r = quint16((first << 8) | second);
        regs.append(swapBytes ? swapped(r) : r);
    }
    return regs;
}

void appendBytes(QByteArray &bytes, const quint16 *regs, int count, bool swapBytes)
{
    for (int i = 0; i < count; ++i) {
        const quint16 r = swapBytes ? swapped(regs[i]) : regs[i];
        bytes.append(char(r >> 8));
        bytes.append(char(r & 0xFF));
    }
}

QList<quint16> registersFromDInt(qint32 value, const Variable &v)
{
    const quint32 u = quint32(value);
    quint16 high = quint16(u >> 16), low = quint16(u & 0xFFFF);
    if (v.swapBytes) {
        high = swapped(high);
        low = swapped(low);
    }
    return v.swapWords ? QList<quint16>{low, high} : QList<quint16>{high, low};
}

qint32 dintFromRegisters(const quint16 *regs, const Variable &v)
{
    quint16 high = v.swapWords ? regs[1] : regs[0];
    quint16 low = v.swapWords ? regs[0] : regs[1];
    if (v.swapBytes) {
        high = swapped(high);
        low = swapped(low);
    }
    return qint32((quint32(high) << 16) | low);
}

QByteArray cutAtNul(const QByteArray &bytes)
{
    const qsizetype nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

// The function code that reads the variable's table.
quint8 readFunctionOf(const Variable &v)
{
    switch (v.area) {
    case Area::Coil:
        return 1;
    case Area::DiscreteInput:
        return 2;
    case Area::HoldingRegister:
        return 3;
    case Area::InputRegister:
        return 4;
    }
    return 3;
}

} // namespace

ModbusLink::ModbusLink(VariableMap map, QObject *parent) : TargetedLink(parent), m_map(std::move(map))
{
    init();
}

ModbusLink::ModbusLink(const QString &mapFile, const QString &mapProblem, QObject *parent)
    : TargetedLink(parent), m_mapProblem(mapProblem)
{
    QString ignored;
    m_map.parse(QString(), mapFile, ignored);
    init();
}

void ModbusLink::init()
{
    // The library only frames requests and answers here: the link makes the connection itself
    // (without blocking when it reconnects) and hands the socket over.
    m_ctx = modbus_new_tcp("127.0.0.1", DefaultPort);
    modbus_set_error_recovery(m_ctx, MODBUS_ERROR_RECOVERY_NONE);
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &ModbusLink::startReconnect);
    m_probeTimer.setSingleShot(true);
    connect(&m_probeTimer, &QTimer::timeout, this, &ModbusLink::onProbeTimeout);
    m_pollTimer.setInterval(m_map.pollMs());
    connect(&m_pollTimer, &QTimer::timeout, this, &ModbusLink::poll);
}

ModbusLink::~ModbusLink()
{
    closeSocket();
    modbus_free(m_ctx);
}

void ModbusLink::setPollInterval(int ms)
{
    m_pollTimer.setInterval(qBound(1, ms, MaxPollMs));
}

bool ModbusLink::parseTarget(const QString &netId, const QString &port, QHostAddress &address,
                             quint16 &portNumber)
{
    const QString p = port.trimmed();
    return KeloOcx::parseTarget(netId, p.isEmpty() ? QString::number(DefaultPort) : p, address, portNumber);
}

QString ModbusLink::linkStateText(LinkState state)
{
    switch (state) {
    case LinkState::Idle:
        return QStringLiteral("not connected");
    case LinkState::Connecting:
        return QStringLiteral("connecting");
    case LinkState::Connected:
        return QStringLiteral("connected");
    case LinkState::Down:
        return QStringLiteral("connection lost, retrying");
    }
    return {};
}

// --- requests --------------------------------------------------------------------------------

qint32 ModbusLink::failure(int error)
{
    if (error > MODBUS_ENOBASE && error <= EMBXGTAR)
        return ExceptionBase + (error - MODBUS_ENOBASE);
    if (error == EMBBADEXC || error == EMBUNKEXC)
        return ExceptionBase;
    // Anything else leaves the stream in an unknown state: a late answer could be taken for
    // the answer to the next request.
    const qint32 code =
        error == ETIMEDOUT ? Timeout
        : error == EMBBADDATA || error == EMBBADSLAVE || error == EMBBADCRC || error == EMBMDATA
            ? ProtocolError
            : NotConnected;
    dropConnection(code);
    return code;
}

qint32 ModbusLink::request(int unit, const Deadline &deadline, const std::function<int(modbus_t *)> &call)
{
    if (m_linkState != LinkState::Connected)
        return m_downCode;
    const int ms = deadline.remaining();
    if (ms <= 0)
        return failure(ETIMEDOUT);
    modbus_set_slave(m_ctx, unit);
    // No byte time-out: the whole answer must arrive within the response time-out.
    modbus_set_response_timeout(m_ctx, uint32_t(ms / 1000), uint32_t(ms % 1000) * 1000);
    modbus_set_byte_timeout(m_ctx, 0, 0);
    if (call(m_ctx) >= 0)
        return Ok;
    return failure(errno);
}

qint32 ModbusLink::readRegisters(const Variable &v, int offset, int count, quint16 *out,
                                 const Deadline &deadline)
{
    const int address = v.address + offset;
    if (v.area == Area::InputRegister)
        return request(v.unit, deadline,
                       [&](modbus_t *ctx) { return modbus_read_input_registers(ctx, address, count, out); });
    return request(v.unit, deadline,
                   [&](modbus_t *ctx) { return modbus_read_registers(ctx, address, count, out); });
}

qint32 ModbusLink::writeRegisters(const Variable &v, int offset, const QList<quint16> &regs,
                                  const Deadline &deadline)
{
    const int chunk = m_map.maxWriteRegisters();
    for (int done = 0; done < regs.size();) {
        const int n = int(qMin<qsizetype>(chunk, regs.size() - done));
        const int address = v.address + offset + done;
        const quint16 *data = regs.constData() + done;
        const qint32 c = request(v.unit, deadline, [&](modbus_t *ctx) {
            return n == 1 ? modbus_write_register(ctx, address, data[0])
                          : modbus_write_registers(ctx, address, n, data);
        });
        if (c != Ok)
            return c;
        done += n;
    }
    return Ok;
}

qint32 ModbusLink::readBool(const Variable &v, bool &value, const Deadline &deadline)
{
    if (v.isBitArea()) {
        quint8 bit = 0;
        const qint32 c = request(v.unit, deadline, [&](modbus_t *ctx) {
            return v.area == Area::Coil ? modbus_read_bits(ctx, v.address, 1, &bit)
                                        : modbus_read_input_bits(ctx, v.address, 1, &bit);
        });
        if (c == Ok)
            value = bit != 0;
        return c;
    }
    quint16 r = 0;
    const qint32 c = readRegisters(v, 0, 1, &r, deadline);
    if (c == Ok)
        value = r != 0;
    return c;
}

qint32 ModbusLink::readString(const Variable &v, int maxChars, QByteArray &bytes, const Deadline &deadline)
{
    // A long text is read in several requests, in order; the text ends at its NUL, so the
    // reading stops with the request that brought it.
    const int wanted = (qMin(maxChars, v.capacity) + 1) / 2;
    const int chunk = m_map.maxReadRegisters();
    quint16 regs[MaxReadRegisters];
    bytes.clear();
    for (int done = 0; done < wanted;) {
        const int n = qMin(chunk, wanted - done);
        if (const qint32 c = readRegisters(v, done, n, regs, deadline))
            return c;
        appendBytes(bytes, regs, n, v.swapBytes);
        done += n;
        if (bytes.contains('\0'))
            break;
    }
    bytes = cutAtNul(bytes).left(qMin(maxChars, v.capacity));
    return Ok;
}

qint32 ModbusLink::readVariable(const Variable &v, QVariant &value, const Deadline &deadline)
{
    switch (v.type) {
    case Type::Bool: {
        bool b = false;
        const qint32 c = readBool(v, b, deadline);
        if (c == Ok)
            value = b;
        return c;
    }
    case Type::Int:
    case Type::DInt: {
        quint16 regs[2] = {0, 0};
        const qint32 c = readRegisters(v, 0, v.count(), regs, deadline);
        if (c == Ok)
            value = v.type == Type::Int ? int(qint16(regs[0])) : int(dintFromRegisters(regs, v));
        return c;
    }
    case Type::String: {
        QByteArray bytes;
        const qint32 c = readString(v, v.capacity, bytes, deadline);
        if (c == Ok)
            value = cp1252::decode(bytes);
        return c;
    }
    }
    return WrongType;
}

qint32 ModbusLink::probeVariable(const Variable &v, const Deadline &deadline)
{
    if (v.type == Type::Bool) {
        bool ignored = false;
        return readBool(v, ignored, deadline);
    }
    quint16 regs[MaxReadRegisters];
    const int count = v.count();
    if (count <= m_map.maxReadRegisters())
        return readRegisters(v, 0, count, regs, deadline);
    if (const qint32 c = readRegisters(v, 0, 1, regs, deadline))
        return c;
    return readRegisters(v, count - 1, 1, regs, deadline);
}

// --- connection ------------------------------------------------------------------------------
//
// The socket is made here with plain POSIX calls and given to the library, which only offers a
// connect that blocks; a reconnection must not block the gateway. Between operations a
// QSocketNotifier watches the socket, so a PLC that closes the connection is noticed at once.

int ModbusLink::openSocket(const QHostAddress &address, quint16 portNumber)
{
    bool connectedAtOnce = false;
    const int fd = startConnect(address, portNumber, connectedAtOnce);
    if (fd < 0)
        return -1;
    m_fd = fd;
    return fd;
}

void ModbusLink::closeSocket()
{
    releaseNotifier(m_readNotifier);
    releaseNotifier(m_writeNotifier);
    modbus_set_socket(m_ctx, -1);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_probeTimer.stop();
    m_probeReply.clear();
}

void ModbusLink::setLinkState(LinkState state)
{
    if (state == m_linkState)
        return;
    m_linkState = state;
    updatePolling();
    QMetaObject::invokeMethod(
        this, [this, state] { emit linkStateChanged(state); }, Qt::QueuedConnection);
}

void ModbusLink::becomeConnected(bool announce)
{
    m_probeTimer.stop();
    m_probeReply.clear();
    modbus_set_socket(m_ctx, m_fd);
    if (!m_readNotifier) {
        m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, &ModbusLink::onReadable);
    }
    m_nextDelay = m_reconnectDelay;
    // Values seen on the old connection say nothing about what happened meanwhile.
    for (auto &[notify, reg] : m_notifies)
        reg.last = QVariant();
    setLinkState(LinkState::Connected);
    if (announce) {
        // The PLC may have been restarted, and requests may have been lost: the owner makes
        // its handles and registrations anew, as after a program start on the other link.
        ++m_reconnections;
        queueEvent({0, QVariant()});
    }
}

void ModbusLink::dropConnection(qint32 reason)
{
    m_downCode = reason == Timeout ? Timeout : NotConnected;
    closeSocket();
    setLinkState(LinkState::Down);
    scheduleReconnect();
}

void ModbusLink::scheduleReconnect()
{
    m_reconnectTimer.start(m_nextDelay);
    m_nextDelay = qMin(m_nextDelay * 2, MaxReconnectDelayMs);
}

void ModbusLink::targetChanged()
{
    if (m_linkState == LinkState::Idle)
        return;
    closeSocket();
    m_downCode = NotConnected;
    setLinkState(LinkState::Down);
    m_nextDelay = m_reconnectDelay;
    m_reconnectTimer.start(0);
}

qint32 ModbusLink::ensureConnected(const Deadline &deadline)
{
    switch (m_linkState) {
    case LinkState::Connected:
        return Ok;
    case LinkState::Connecting:
    case LinkState::Down:
        return m_downCode;
    case LinkState::Idle:
        break;
    }
    QHostAddress address;
    quint16 portNumber = 0;
    if (!parseTarget(targetAddress(), m_port, address, portNumber))
        return InvalidTarget;
    // The first connection waits for the connect, within the operation's bound.
    qint32 rc = Ok;
    if (openSocket(address, portNumber) < 0) {
        rc = NotConnected;
    } else {
        const int n = awaitConnect(m_fd, int(deadline.remaining()));
        rc = n > 0 ? Ok : n == 0 ? Timeout : NotConnected;
    }
    if (rc != Ok) {
        dropConnection(rc);
        return rc;
    }
    becomeConnected(false);
    return Ok;
}

void ModbusLink::startReconnect()
{
    if (m_linkState == LinkState::Idle || m_linkState == LinkState::Connected)
        return;
    closeSocket();
    QHostAddress address;
    quint16 portNumber = 0;
    if (!parseTarget(targetAddress(), m_port, address, portNumber)) {
        // Retrying cannot help until the target is changed.
        m_downCode = NotConnected;
        setLinkState(LinkState::Down);
        return;
    }
    if (openSocket(address, portNumber) < 0) {
        m_downCode = NotConnected;
        scheduleReconnect();
        return;
    }
    setLinkState(LinkState::Connecting);
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &ModbusLink::onWritable);
    m_probeTimer.start(m_callTimeout);
}

// A PLC counts as back only once it answers: the connect alone succeeds even while its program
// hangs. The probe reads the first variable of the map (any answer will do, an exception too).
// The answer is taken apart here rather than by the library, whose receive blocks.
void ModbusLink::onWritable()
{
    releaseNotifier(m_writeNotifier);
    if (!connectSucceeded(m_fd)) {
        // Refused: the PLC is gone rather than hung.
        dropConnection();
        return;
    }
    Variable first;
    if (!m_map.variables().isEmpty())
        first = m_map.variables().first();
    m_probeId = quint16(m_probeId + 1);
    m_probeRequest = QByteArray(12, '\0');
    const quint8 frame[12] = {quint8(m_probeId >> 8),
                              quint8(m_probeId),
                              0,
                              0,
                              0,
                              6,
                              quint8(first.unit),
                              readFunctionOf(first),
                              quint8(first.address >> 8),
                              quint8(first.address),
                              0,
                              1};
    memcpy(m_probeRequest.data(), frame, sizeof(frame));
    if (::send(m_fd, frame, sizeof(frame), MSG_NOSIGNAL | MSG_DONTWAIT) != qsizetype(sizeof(frame))) {
        dropConnection();
        return;
    }
    m_probeReply.clear();
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &ModbusLink::onReadable);
}

void ModbusLink::onProbeTimeout()
{
    // Taken but not answered (or the connect itself hangs): the PLC is there and not answering.
    if (m_linkState == LinkState::Connecting)
        dropConnection(Timeout);
}

void ModbusLink::onReadable()
{
    if (m_fd < 0 || !m_readNotifier)
        return;
    if (m_linkState == LinkState::Connected) {
        // Between requests nothing may arrive: either the PLC closed the connection or it sent
        // something nobody asked for; either way the stream is of no further use.
        char byte;
        const ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        dropConnection();
        return;
    }
    if (m_linkState != LinkState::Connecting)
        return;
    char buffer[MODBUS_TCP_MAX_ADU_LENGTH];
    const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        dropConnection();
        return;
    }
    m_probeReply.append(buffer, n);
    if (m_probeReply.size() < 7)
        return;
    const auto byteAt = [](const QByteArray &a, int i) { return quint8(a[i]); };
    const int length = (byteAt(m_probeReply, 4) << 8) | byteAt(m_probeReply, 5);
    if (m_probeReply.size() < 6 + length && length <= 5)
        return;
    // The answer to the probe: same transaction, protocol 0, same unit; the read's function
    // with its one coil (one byte) or register (two bytes), or the exception to it.
    const quint8 function = byteAt(m_probeRequest, 7);
    const int dataBytes = function <= 2 ? 1 : 2;
    const bool answer = m_probeReply.size() == 6 + length && m_probeReply.left(4) == m_probeRequest.left(4) &&
                        byteAt(m_probeReply, 6) == byteAt(m_probeRequest, 6) &&
                        ((length == 3 && byteAt(m_probeReply, 7) == (function | 0x80)) ||
                         (length == 3 + dataBytes && byteAt(m_probeReply, 7) == function &&
                          byteAt(m_probeReply, 8) == dataBytes));
    if (answer)
        becomeConnected(true);
    else
        dropConnection();
}

// --- notifications and events ----------------------------------------------------------------

void ModbusLink::updatePolling()
{
    const bool wanted = m_linkState == LinkState::Connected && !m_notifies.empty();
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
        if (m_linkState != LinkState::Connected)
            return;
        const auto it = m_notifies.find(notify);
        if (it == m_notifies.end())
            continue;
        QVariant value;
        // A refused read (an exception) is tried again next time; a lost connection ends the
        // round and comes back as stateChanged.
        if (readVariable(m_map.variables()[it->second.variable], value, Deadline(m_callTimeout)) != Ok)
            continue;
        Registration &reg = m_notifies.at(notify);
        if (reg.last.isValid() && reg.last == value)
            continue;
        reg.last = value;
        queueEvent({notify, value});
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
        queueEvent({notify, value});
    }
}

void ModbusLink::queueEvent(Event event)
{
    m_events.push_back(std::move(event));
    if (!m_deliveryQueued) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &ModbusLink::deliverEvents, Qt::QueuedConnection);
    }
}

void ModbusLink::deliverEvents()
{
    m_deliveryQueued = false;
    // A slot may call back into the link and queue more; those wait for the next round.
    std::deque<Event> batch;
    batch.swap(m_events);
    for (const Event &e : batch) {
        if (e.notify == 0) {
            emit stateChanged(5, m_reconnections);
            continue;
        }
        const auto it = m_notifies.find(e.notify);
        if (it != m_notifies.end())
            emit connectUpdate(e.notify, e.value, it->second.user);
    }
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

qint32 ModbusLink::createVarHandle(const QString &name, qint32 &handle)
{
    handle = 0;
    int index = 0;
    if (const qint32 c = lookup(name, index))
        return c;
    const Deadline deadline(m_callTimeout);
    if (const qint32 c = ensureConnected(deadline))
        return c;
    // A map entry that the PLC does not serve shows up here, with the PLC's exception.
    if (const qint32 c = probeVariable(m_map.variables()[index], deadline))
        return c;
    handle = m_nextHandle;
    m_nextHandle = m_nextHandle == INT_MAX ? 1 : m_nextHandle + 1;
    m_handles.insert(handle, index);
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
    const Deadline deadline(m_callTimeout);
    if (const qint32 c = ensureConnected(deadline))
        return c;
    QVariant value;
    if (const qint32 c = readVariable(m_map.variables()[index], value, deadline))
        return c;
    notifyHandle = m_nextHandle;
    m_nextHandle = m_nextHandle == INT_MAX ? 1 : m_nextHandle + 1;
    m_notifies[notifyHandle] = {index, user, value};
    // The current value first, as a registration on the other link gets it.
    queueEvent({notifyHandle, value});
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
    if (!v)
        return code;
    return readVariable(*v, value, Deadline(m_callTimeout));
}

qint32 ModbusLink::readVarBool(qint32 handle, qint32 size, bool &value)
{
    if (size < 1)
        return InvalidSize;
    qint32 code = Ok;
    const Variable *v = variableOf(handle, code);
    if (!v)
        return code;
    if (v->type != Type::Bool)
        return WrongType;
    return readBool(*v, value, Deadline(m_callTimeout));
}

qint32 ModbusLink::readVarString(qint32 handle, qint32 size, QString &text)
{
    if (size < 1)
        return InvalidSize;
    qint32 code = Ok;
    const Variable *v = variableOf(handle, code);
    if (!v)
        return code;
    if (v->type != Type::String)
        return WrongType;
    QByteArray bytes;
    code = readString(*v, size, bytes, Deadline(m_callTimeout));
    if (code == Ok)
        text = cp1252::decode(bytes);
    return code;
}

qint32 ModbusLink::writeChecked(qint32 handle, Type wanted,
                                const std::function<qint32(const Variable &, const Deadline &)> &write,
                                const QVariant &written)
{
    qint32 code = Ok;
    const Variable *v = variableOf(handle, code);
    if (!v)
        return code;
    // INT values may go into a DINT, as on the other link.
    if (v->type != wanted && !(wanted == Type::Int && v->type == Type::DInt))
        return WrongType;
    if (!v->isWritable())
        return ReadOnly;
    code = write(*v, Deadline(m_callTimeout));
    if (code == Ok)
        noteWritten(int(v - m_map.variables().constData()), written);
    return code;
}

qint32 ModbusLink::writeVarBool(qint32 handle, qint32 size, bool value)
{
    if (size < 1)
        return InvalidSize;
    return writeChecked(
        handle, Type::Bool,
        [&](const Variable &v, const Deadline &deadline) {
            if (v.area == Area::Coil)
                return request(v.unit, deadline, [&](modbus_t *ctx) {
                    return modbus_write_bit(ctx, v.address, value ? 1 : 0);
                });
            return writeRegisters(v, 0, {quint16(value ? 1 : 0)}, deadline);
        },
        value);
}

qint32 ModbusLink::writeVarString(qint32 handle, qint32 length, const QString &text)
{
    if (length < 0 || length % 2 != 0)
        return InvalidSize;
    QByteArray bytes = cp1252::encode(text.left(length / 2));
    return writeChecked(
        handle, Type::String,
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
    if (size < 4)
        return InvalidSize;
    return writeChecked(
        handle, Type::DInt,
        [&](const Variable &v, const Deadline &deadline) {
            return writeRegisters(v, 0, registersFromDInt(value, v), deadline);
        },
        int(value));
}

qint32 ModbusLink::writeVarInt(qint32 handle, qint32 size, qint16 value)
{
    if (size < 2)
        return InvalidSize;
    return writeChecked(
        handle, Type::Int,
        [&](const Variable &v, const Deadline &deadline) {
            if (v.type == Type::DInt)
                return writeRegisters(v, 0, registersFromDInt(value, v), deadline);
            return writeRegisters(v, 0, {quint16(value)}, deadline);
        },
        int(value));
}

qint32 ModbusLink::releaseLink()
{
    m_reconnectTimer.stop();
    closeSocket();
    m_handles.clear();
    m_notifies.clear();
    m_events.clear();
    m_nextDelay = m_reconnectDelay;
    setLinkState(LinkState::Idle);
    return Ok;
}

qint32 ModbusLink::showProperties()
{
    if (!m_propertiesHandler)
        return NoPropertiesHandler;
    m_propertiesHandler();
    return Ok;
}
