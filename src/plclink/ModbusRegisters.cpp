#include "plclink/ModbusRegisters.h"

using namespace modbusmap;

namespace modbusregs
{

namespace
{

quint16 swapped(quint16 r)
{
    return quint16((r << 8) | (r >> 8));
}

quint8 byteAt(const QByteArray &a, int i)
{
    return quint8(a[i]);
}

} // namespace

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

QList<quint16> registersFromNumber(qint32 value, const Variable &v)
{
    switch (v.type) {
    case Type::Bool:
        return {quint16(value != 0 ? 1 : 0)};
    case Type::Int:
        return {quint16(value)};
    case Type::DInt:
        return registersFromDInt(value, v);
    case Type::String:
        break;
    }
    return {};
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

QByteArray probeRequest(quint16 transaction, const Variable &v)
{
    const quint8 frame[12] = {
        quint8(transaction >> 8), quint8(transaction), 0, 0, 0, 6, quint8(v.unit), readFunctionOf(v),
        quint8(v.address >> 8),   quint8(v.address),   0, 1};
    return QByteArray(reinterpret_cast<const char *>(frame), sizeof(frame));
}

ProbeAnswer probeAnswer(const QByteArray &request, const QByteArray &received)
{
    if (received.size() < 7)
        return ProbeAnswer::Incomplete;
    const int length = (byteAt(received, 4) << 8) | byteAt(received, 5);
    // A longer length than any answer to the probe can have is not waited for.
    if (received.size() < 6 + length && length <= 5)
        return ProbeAnswer::Incomplete;
    const quint8 function = byteAt(request, 7);
    const int dataBytes = function <= 2 ? 1 : 2;
    const bool fits =
        received.size() == 6 + length && received.left(4) == request.left(4) &&
        byteAt(received, 6) == byteAt(request, 6) &&
        ((length == 3 && byteAt(received, 7) == (function | 0x80)) ||
         (length == 3 + dataBytes && byteAt(received, 7) == function && byteAt(received, 8) == dataBytes));
    return fits ? ProbeAnswer::Fits : ProbeAnswer::DoesNotFit;
}

} // namespace modbusregs
