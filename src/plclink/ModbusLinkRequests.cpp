// The Modbus requests of ModbusLink (plclink/ModbusLink.h): one library call each, bounded by
// what is left of the operation's deadline, and the reads and writes of a variable's coils and
// registers built from them.
#include "plclink/ModbusLink.h"

#include "common/Cp1252.h"
#include "plclink/ModbusRegisters.h"

#include <modbus.h>

#include <cerrno>

using namespace modbusmap;
using namespace modbusregs;

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
    m_connection.fail(code,
                      code == NotConnected ? QString::fromLocal8Bit(modbus_strerror(error)) : QString());
    return code;
}

qint32 ModbusLink::request(int unit, const Deadline &deadline, const std::function<int(modbus_t *)> &call)
{
    if (linkState() != LinkState::Connected)
        return m_connection.downCode();
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
