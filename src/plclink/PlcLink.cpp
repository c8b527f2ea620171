#include "plclink/PlcLink.h"

void PlcLink::runEach(std::span<LinkOp> ops)
{
    for (LinkOp &op : ops) {
        switch (op.kind) {
        case LinkOp::Kind::ReadBool:
            op.code = readVarBool(op.handle, op.flag);
            break;
        case LinkOp::Kind::WriteBool:
            op.code = writeVarBool(op.handle, op.flag);
            break;
        case LinkOp::Kind::WriteInt:
            op.code = writeVarInt(op.handle, static_cast<qint16>(op.number));
            break;
        case LinkOp::Kind::WriteLong:
            op.code = writeVarLong(op.handle, op.number);
            break;
        case LinkOp::Kind::WriteString:
            op.code = writeVarString(op.handle, op.text);
            break;
        }
    }
}
