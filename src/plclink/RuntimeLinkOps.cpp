// The operations of RuntimeLink: handles, reads and writes, one request each or several in one
// Batch. The connection they run over is in RuntimeLink.cpp.
#include "plclink/RuntimeLink.h"

#include "common/Cp1252.h"

#include <QVarLengthArray>

#include <climits>

using namespace plcproto;

qint32 RuntimeLink::remoteHandle(qint32 handle, quint32 &remote) const
{
    const auto it = m_handles.constFind(handle);
    if (it == m_handles.constEnd())
        return InvalidHandle;
    remote = it->remote;
    return Ok;
}

qint32 RuntimeLink::variableType(qint32 handle, VarType &type, quint32 &capacity) const
{
    const auto it = m_handles.constFind(handle);
    if (it == m_handles.constEnd())
        return InvalidHandle;
    type = it->type;
    capacity = it->capacity;
    return Ok;
}

qint32 RuntimeLink::readValue(qint32 handle, Value &value)
{
    VarType type;
    quint32 capacity;
    if (const qint32 c = variableType(handle, type, capacity))
        return c;
    return readTyped(handle, type, value);
}

qint32 RuntimeLink::controlProgram(ControlOp op)
{
    Message req;
    req.type = MsgType::Control;
    req.control = op;
    Message reply;
    return call(req, reply);
}

qint32 RuntimeLink::call(Message &request, Message &reply)
{
    if (const qint32 c = transact(request, reply))
        return c;
    return reply.code;
}

qint32 RuntimeLink::handleCall(qint32 handle, Message &request, Message &reply)
{
    if (const qint32 c = ensureConnected())
        return c;
    if (const qint32 c = remoteHandle(handle, request.handle))
        return c;
    return call(request, reply);
}

qint32 RuntimeLink::readTyped(qint32 handle, VarType type, Value &value)
{
    Message req;
    req.type = MsgType::Read;
    req.varType = type;
    Message reply;
    if (const qint32 c = handleCall(handle, req, reply))
        return c;
    if (reply.value.type != type)
        return ProtocolError;
    value = reply.value;
    return reply.code;
}

qint32 RuntimeLink::writeValue(qint32 handle, const Value &value)
{
    Message req;
    req.type = MsgType::Write;
    req.value = value;
    Message reply;
    return handleCall(handle, req, reply);
}

qint32 RuntimeLink::nameRequest(MsgType type, const QString &name, Message &reply)
{
    const QByteArray bytes = cp1252::encode(name);
    if (bytes.isEmpty() || bytes.size() > MaxNameBytes)
        return UnknownSymbol;
    Message req;
    req.type = type;
    req.name = bytes;
    return call(req, reply);
}

qint32 RuntimeLink::createVarHandle(const QString &name, qint32 &handle)
{
    handle = 0;
    Message reply;
    const qint32 c = nameRequest(MsgType::CreateHandle, name, reply);
    noteLookup(name, c);
    if (c != Ok)
        return c;
    const qint32 local = takeHandle();
    m_handles.insert(local, {reply.handle, reply.varType, reply.capacity});
    handle = local;
    return Ok;
}

qint32 RuntimeLink::deleteVarHandle(qint32 handle)
{
    if (const qint32 c = ensureConnected())
        return c;
    Message req;
    req.type = MsgType::DeleteHandle;
    if (const qint32 c = remoteHandle(handle, req.handle))
        return c;
    m_handles.remove(handle);
    Message reply;
    return call(req, reply);
}

qint32 RuntimeLink::connectVar(const QString &name, qint32 mode, qint32 cycle, qint32 &notifyHandle,
                               void *user)
{
    // Notifications are always sent on change; the mode and cycle of the call are accepted as
    // they come.
    Q_UNUSED(mode);
    Q_UNUSED(cycle);
    notifyHandle = 0;
    Message reply;
    if (const qint32 c = nameRequest(MsgType::Subscribe, name, reply))
        return c;
    const qint32 local = takeHandle();
    m_notifies.insert(local, {reply.handle, user});
    m_notifyByRemote.insert(reply.handle, local);
    notifyHandle = local;
    return Ok;
}

qint32 RuntimeLink::disconnectVar(qint32 notifyHandle)
{
    if (const qint32 c = ensureConnected())
        return c;
    const auto it = m_notifies.constFind(notifyHandle);
    if (it == m_notifies.constEnd())
        return InvalidHandle;
    Message req;
    req.type = MsgType::Unsubscribe;
    req.handle = it->remote;
    m_notifyByRemote.remove(it->remote);
    m_notifies.erase(it);
    Message reply;
    return call(req, reply);
}

qint32 RuntimeLink::readVarBool(qint32 handle, qint32 size, bool &value)
{
    if (size < 1)
        return InvalidSize;
    Value v;
    const qint32 c = readTyped(handle, VarType::Bool, v);
    if (c == Ok)
        value = v.number != 0;
    return c;
}

qint32 RuntimeLink::writeVarBool(qint32 handle, qint32 size, bool value)
{
    if (size < 1)
        return InvalidSize;
    return writeValue(handle, Value::boolean(value));
}

qint32 RuntimeLink::readVarString(qint32 handle, qint32 size, QString &text)
{
    if (size < 1)
        return InvalidSize;
    Value v;
    const qint32 c = readTyped(handle, VarType::String, v);
    if (c == Ok)
        text = cp1252::decode(v.text.left(size));
    return c;
}

qint32 RuntimeLink::writeVarString(qint32 handle, qint32 length, const QString &text)
{
    if (length < 0 || length % 2 != 0)
        return InvalidSize;
    const QByteArray bytes = cp1252::encode(text.left(length / 2));
    if (bytes.size() > MaxStringCapacity)
        return ValueTooLong;
    return writeValue(handle, Value::string(bytes));
}

qint32 RuntimeLink::writeVarLong(qint32 handle, qint32 size, qint32 value)
{
    if (size < 4)
        return InvalidSize;
    return writeValue(handle, Value::int32(value));
}

qint32 RuntimeLink::writeVarInt(qint32 handle, qint32 size, qint16 value)
{
    if (size < 2)
        return InvalidSize;
    return writeValue(handle, Value::int16(value));
}

bool RuntimeLink::batchRequest(std::span<LinkOp> ops, Message &request, QList<LinkOp *> &sent)
{
    request.type = MsgType::Batch;
    // Where each operation stands in the request; -1: not sent.
    QVarLengthArray<qint8, MaxBatchOps> position(qsizetype(ops.size()), qint8(-1));
    for (size_t i = 0; i < ops.size(); ++i) {
        LinkOp &op = ops[i];
        BatchOp b;
        if (op.onlyIfFalse >= 0) {
            // A condition on a read that is not sent cannot hold.
            const auto k = size_t(static_cast<unsigned char>(op.onlyIfFalse)); // not negative here
            if (k >= i || ops[k].kind != LinkOp::Kind::ReadBool || position[qsizetype(k)] < 0) {
                op.code = NotRun;
                continue;
            }
            b.onlyIfFalse = position[qsizetype(k)];
        }
        op.code = remoteHandle(op.handle, b.handle);
        switch (op.kind) {
        case LinkOp::Kind::ReadBool:
            b.type = MsgType::Read;
            b.varType = VarType::Bool;
            break;
        case LinkOp::Kind::WriteBool:
            b.type = MsgType::Write;
            b.value = Value::boolean(op.flag);
            break;
        case LinkOp::Kind::WriteInt:
            b.type = MsgType::Write;
            b.value = Value::int16(qint16(op.number));
            break;
        case LinkOp::Kind::WriteLong:
            b.type = MsgType::Write;
            b.value = Value::int32(op.number);
            break;
        case LinkOp::Kind::WriteString:
            b.type = MsgType::Write;
            b.value = Value::string(cp1252::encode(op.text));
            if (op.code == Ok && b.value.text.size() > MaxStringCapacity)
                op.code = ValueTooLong;
            break;
        }
        if (op.code != Ok)
            continue;
        position[qsizetype(i)] = qint8(request.ops.size());
        request.ops.append(std::move(b));
        sent.append(&op);
    }
    return encode(request).size() - LengthSize <= qsizetype(MaxBody);
}

void RuntimeLink::exchange(std::span<LinkOp> ops)
{
    // Connected first, as every single call is. A runtime without conditions gets the operations
    // in parts, one of the base version single calls.
    if (ops.size() < 2 || ops.size() > size_t(MaxBatchOps)) {
        runEach(ops);
        return;
    }
    if (const qint32 c = ensureConnected()) {
        ops.front().code = conditionHolds(ops, 0) ? c : qint32(NotRun);
        runEach(ops, 1);
        return;
    }
    if (m_version < Version) {
        exchangeInParts(ops, [this](std::span<LinkOp> part) { batch(part); });
        return;
    }
    batch(ops);
    // Whatever failed on the way, an operation whose condition does not hold did not run.
    for (size_t i = 0; i < ops.size(); ++i) {
        if (!conditionHolds(ops, i))
            ops[i].code = NotRun;
    }
}

void RuntimeLink::batch(std::span<LinkOp> ops)
{
    Message request;
    QList<LinkOp *> sent;
    if (ops.size() < 2 || m_version < BatchVersion || !batchRequest(ops, request, sent)) {
        runEach(ops);
        return;
    }
    if (sent.isEmpty())
        return;
    Message reply;
    qint32 rc = transact(request, reply);
    if (rc == Ok && reply.ops.size() != sent.size()) {
        rc = ProtocolError;
        m_connection.fail(rc);
    }
    if (rc != Ok || reply.code != Ok) {
        // As single calls: the first one fails with the reason, the ones after it find the link
        // down; a refused request refuses each of its operations.
        for (qsizetype i = 0; i < sent.size(); ++i)
            sent[i]->code = i == 0 || rc == Ok ? (rc != Ok ? rc : reply.code) : m_connection.downCode();
        return;
    }
    for (qsizetype i = 0; i < sent.size(); ++i) {
        LinkOp &op = *sent[i];
        const BatchOp &done = reply.ops[i];
        if (done.type != request.ops[i].type) {
            op.code = ProtocolError;
        } else if (done.type == MsgType::Read) {
            // As readTyped: a value of another type is not this link's answer.
            op.code = done.value.type != VarType::Bool ? qint32(ProtocolError) : done.code;
            if (op.code == Ok)
                op.flag = done.value.number != 0;
        } else {
            op.code = done.code;
        }
    }
}

qint32 RuntimeLink::releaseLink()
{
    m_connection.release();
    newSession();
    dropEvents();
    return Ok;
}
