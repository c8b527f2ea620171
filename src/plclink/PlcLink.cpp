#include "plclink/PlcLink.h"

bool PlcLink::conditionHolds(std::span<const LinkOp> ops, size_t index)
{
    const qint8 k = ops[index].onlyIfFalse;
    if (k < 0)
        return true;
    if (size_t(k) >= index)
        return false;
    const LinkOp &read = ops[size_t(k)];
    return read.kind == LinkOp::Kind::ReadBool && read.code == plclink::Ok && !read.flag;
}

size_t PlcLink::partEnd(std::span<const LinkOp> ops, size_t begin)
{
    size_t end = begin + 1;
    while (end < ops.size() &&
           (ops[end].onlyIfFalse < 0 || (size_t(ops[end].onlyIfFalse) < begin && conditionHolds(ops, end))))
        ++end;
    return end;
}

void PlcLink::runEach(std::span<LinkOp> ops, size_t from)
{
    for (size_t i = from; i < ops.size(); ++i) {
        LinkOp &op = ops[i];
        if (!conditionHolds(ops, i)) {
            op.code = plclink::NotRun;
            continue;
        }
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
