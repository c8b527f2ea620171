#pragma once

#include "plclink/VariableMap.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// How the Modbus link lays its values into coils and registers, and the one request it takes
// apart itself (the probe of a reconnection). Pure functions: no connection, no state.
namespace modbusregs
{

// Two bytes per register, the first byte high unless swapBytes; an odd last byte is followed
// by a 0.
QList<quint16> registersFromBytes(const QByteArray &bytes, bool swapBytes);
void appendBytes(QByteArray &bytes, const quint16 *regs, int count, bool swapBytes);
// A DINT in the variable's word and byte order (two registers).
QList<quint16> registersFromDInt(qint32 value, const modbusmap::Variable &v);
qint32 dintFromRegisters(const quint16 *regs, const modbusmap::Variable &v);
// A number as the registers of a BOOL (one register, 0 or 1), an INT (one register, the low 16
// bits) or a DINT variable; none for a STRING.
QList<quint16> registersFromNumber(qint32 value, const modbusmap::Variable &v);
// A text ends at its first NUL.
QByteArray cutAtNul(const QByteArray &bytes);

// The function code that reads the variable's table.
quint8 readFunctionOf(const modbusmap::Variable &v);

// A read of the variable's first coil or register as one Modbus/TCP frame.
QByteArray probeRequest(quint16 transaction, const modbusmap::Variable &v);
enum class ProbeAnswer { Incomplete, Fits, DoesNotFit };
// Whether the bytes received so far are the whole answer to the probe: the same transaction,
// protocol 0, the same unit, and the read's function with its one coil (one byte) or register
// (two bytes), or the exception to it.
ProbeAnswer probeAnswer(const QByteArray &request, const QByteArray &received);

} // namespace modbusregs
