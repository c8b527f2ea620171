#include "plclink/PlcProtocol.h"

#include <QtEndian>

namespace plcproto
{

namespace
{

class Writer
{
public:
    void u8(quint8 v) { m_out.append(static_cast<char>(v)); }
    void u16(quint16 v)
    {
        char b[2];
        qToBigEndian(v, b);
        m_out.append(b, 2);
    }
    void u32(quint32 v)
    {
        char b[4];
        qToBigEndian(v, b);
        m_out.append(b, 4);
    }
    void i32(qint32 v) { u32(static_cast<quint32>(v)); }
    void bytes(const QByteArray &s, int limit)
    {
        const QByteArray cut = s.left(limit);
        u16(static_cast<quint16>(cut.size()));
        m_out.append(cut);
    }
    void value(const Value &v)
    {
        u8(static_cast<quint8>(v.type));
        switch (v.type) {
        case VarType::Bool:
            u8(v.number != 0 ? 1 : 0);
            break;
        case VarType::Int:
            u16(static_cast<quint16>(static_cast<qint16>(v.number)));
            break;
        case VarType::DInt:
            i32(v.number);
            break;
        case VarType::String:
            bytes(v.text, MaxStringCapacity);
            break;
        }
    }
    QByteArray &data() { return m_out; }

private:
    QByteArray m_out;
};

class Reader
{
public:
    Reader(const char *data, qsizetype size) : m_data(data), m_size(size) {}
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_pos == m_size; }

    quint8 u8()
    {
        if (!need(1))
            return 0;
        return static_cast<quint8>(m_data[m_pos++]);
    }
    quint16 u16()
    {
        if (!need(2))
            return 0;
        const quint16 v = qFromBigEndian<quint16>(m_data + m_pos);
        m_pos += 2;
        return v;
    }
    quint32 u32()
    {
        if (!need(4))
            return 0;
        const quint32 v = qFromBigEndian<quint32>(m_data + m_pos);
        m_pos += 4;
        return v;
    }
    qint32 i32() { return static_cast<qint32>(u32()); }
    QByteArray bytes(int limit)
    {
        const quint16 n = u16();
        if (n > limit) {
            m_ok = false;
            return {};
        }
        if (!need(n))
            return {};
        QByteArray s(m_data + m_pos, n);
        m_pos += n;
        return s;
    }
    VarType varType()
    {
        const quint8 t = u8();
        if (t < 1 || t > 4)
            m_ok = false;
        return static_cast<VarType>(t);
    }
    Value value()
    {
        Value v;
        v.type = varType();
        if (!m_ok)
            return v;
        switch (v.type) {
        case VarType::Bool: {
            const quint8 b = u8();
            if (b > 1)
                m_ok = false;
            v.number = b;
            break;
        }
        case VarType::Int:
            v.number = static_cast<qint16>(u16());
            break;
        case VarType::DInt:
            v.number = i32();
            break;
        case VarType::String:
            v.text = bytes(MaxStringCapacity);
            break;
        }
        return v;
    }

private:
    bool need(qsizetype n)
    {
        if (!m_ok || m_size - m_pos < n) {
            m_ok = false;
            return false;
        }
        return true;
    }

    const char *m_data;
    qsizetype m_size;
    qsizetype m_pos = 0;
    bool m_ok = true;
};

bool knownType(quint8 t)
{
    switch (static_cast<MsgType>(t)) {
    case MsgType::Hello:
    case MsgType::CreateHandle:
    case MsgType::DeleteHandle:
    case MsgType::Read:
    case MsgType::Write:
    case MsgType::Subscribe:
    case MsgType::Unsubscribe:
    case MsgType::Ping:
    case MsgType::Control:
    case MsgType::Batch:
    case MsgType::Notify:
    case MsgType::State:
        return true;
    }
    return false;
}

} // namespace

QString codeText(qint32 code)
{
    switch (code) {
    case Ok:
        return QStringLiteral("ok");
    case NotConnected:
        return QStringLiteral("not connected to the PLC runtime");
    case Timeout:
        return QStringLiteral("the PLC runtime did not answer in time");
    case ProtocolError:
        return QStringLiteral("invalid data from the PLC runtime");
    case VersionMismatch:
        return QStringLiteral("protocol version not supported");
    case InvalidTarget:
        return QStringLiteral("invalid target address or port");
    case UnknownSymbol:
        return QStringLiteral("unknown symbol");
    case InvalidHandle:
        return QStringLiteral("invalid handle");
    case WrongType:
        return QStringLiteral("wrong type");
    case ValueTooLong:
        return QStringLiteral("value too long for the variable");
    case InvalidSize:
        return QStringLiteral("invalid size");
    case ProgramStopped:
        return QStringLiteral("PLC program stopped");
    case TooManyHandles:
        return QStringLiteral("too many handles");
    case BadRequest:
        return QStringLiteral("request not understood by the runtime");
    case NotRun:
        return QStringLiteral("not carried out: its condition did not hold");
    case NoPropertiesHandler:
        return QStringLiteral("no settings dialog available");
    }
    return QStringLiteral("error %1").arg(code);
}

QString typeName(VarType type, quint32 capacity)
{
    switch (type) {
    case VarType::Bool:
        return QStringLiteral("BOOL");
    case VarType::Int:
        return QStringLiteral("INT");
    case VarType::DInt:
        return QStringLiteral("DINT");
    case VarType::String:
        return QStringLiteral("STRING(%1)").arg(capacity);
    }
    return QStringLiteral("?");
}

QByteArray encode(const Message &msg)
{
    Writer w;
    w.u32(0); // length, patched below
    w.u8(static_cast<quint8>(msg.type) | (msg.reply ? ReplyFlag : 0));
    w.u32(msg.seq);
    if (msg.reply)
        w.i32(msg.code);
    switch (msg.type) {
    case MsgType::Hello:
        w.u16(msg.version);
        if (msg.reply) {
            w.u32(msg.state);
            w.u32(msg.runId);
        }
        break;
    case MsgType::CreateHandle:
        if (msg.reply) {
            w.u32(msg.handle);
            w.u8(static_cast<quint8>(msg.varType));
            w.u32(msg.capacity);
        } else {
            w.bytes(msg.name, MaxNameBytes);
        }
        break;
    case MsgType::Subscribe:
        if (msg.reply)
            w.u32(msg.handle);
        else
            w.bytes(msg.name, MaxNameBytes);
        break;
    case MsgType::DeleteHandle:
    case MsgType::Unsubscribe:
        if (!msg.reply)
            w.u32(msg.handle);
        break;
    case MsgType::Read:
        if (msg.reply) {
            if (msg.code == Ok)
                w.value(msg.value);
        } else {
            w.u32(msg.handle);
            w.u8(static_cast<quint8>(msg.varType));
        }
        break;
    case MsgType::Write:
        if (!msg.reply) {
            w.u32(msg.handle);
            w.value(msg.value);
        }
        break;
    case MsgType::Ping:
        break;
    case MsgType::Control:
        if (!msg.reply)
            w.u8(msg.control);
        break;
    case MsgType::Batch:
        w.u8(static_cast<quint8>(msg.ops.size()));
        for (const BatchOp &op : msg.ops) {
            const bool conditional = !msg.reply && op.onlyIfFalse >= 0;
            w.u8(static_cast<quint8>(op.type) | (conditional ? ConditionFlag : 0));
            if (conditional)
                w.u8(static_cast<quint8>(op.onlyIfFalse));
            if (msg.reply) {
                w.i32(op.code);
                if (op.type == MsgType::Read && op.code == Ok)
                    w.value(op.value);
            } else {
                w.u32(op.handle);
                if (op.type == MsgType::Read)
                    w.u8(static_cast<quint8>(op.varType));
                else
                    w.value(op.value);
            }
        }
        break;
    case MsgType::Notify:
        w.u32(msg.handle);
        w.value(msg.value);
        break;
    case MsgType::State:
        w.u32(msg.state);
        w.u32(msg.runId);
        break;
    }
    QByteArray &out = w.data();
    qToBigEndian(static_cast<quint32>(out.size() - LengthSize), out.data());
    return out;
}

std::optional<Message> decode(const char *body, qsizetype size)
{
    if (size < MinBody || size > qsizetype(MaxBody))
        return std::nullopt;
    Reader r(body, size);
    Message msg;
    const quint8 rawType = r.u8();
    msg.seq = r.u32();
    const bool push = rawType & 0x80;
    msg.reply = !push && (rawType & ReplyFlag);
    const quint8 base = push ? rawType : quint8(rawType & ~ReplyFlag);
    if (!knownType(base))
        return std::nullopt;
    msg.type = static_cast<MsgType>(base);
    if (msg.reply)
        msg.code = r.i32();
    switch (msg.type) {
    case MsgType::Hello:
        msg.version = r.u16();
        if (msg.reply) {
            msg.state = r.u32();
            msg.runId = r.u32();
        }
        break;
    case MsgType::CreateHandle:
        if (msg.reply) {
            msg.handle = r.u32();
            msg.varType = r.varType();
            msg.capacity = r.u32();
        } else {
            msg.name = r.bytes(MaxNameBytes);
        }
        break;
    case MsgType::Subscribe:
        if (msg.reply)
            msg.handle = r.u32();
        else
            msg.name = r.bytes(MaxNameBytes);
        break;
    case MsgType::DeleteHandle:
    case MsgType::Unsubscribe:
        if (!msg.reply)
            msg.handle = r.u32();
        break;
    case MsgType::Read:
        if (msg.reply) {
            if (msg.code == Ok)
                msg.value = r.value();
        } else {
            msg.handle = r.u32();
            msg.varType = r.varType();
        }
        break;
    case MsgType::Write:
        if (!msg.reply) {
            msg.handle = r.u32();
            msg.value = r.value();
        }
        break;
    case MsgType::Ping:
        break;
    case MsgType::Control:
        if (!msg.reply)
            msg.control = r.u8();
        break;
    case MsgType::Batch: {
        const quint8 count = r.u8();
        if (count < 1 || count > MaxBatchOps)
            return std::nullopt;
        for (int i = 0; i < count && r.ok(); ++i) {
            BatchOp op;
            const quint8 type = r.u8();
            op.type = static_cast<MsgType>(type & ~ConditionFlag);
            if (op.type != MsgType::Read && op.type != MsgType::Write)
                return std::nullopt;
            if (type & ConditionFlag) {
                // Only in a request, and only on a BOOL Read before it.
                const quint8 index = r.u8();
                if (msg.reply || index >= i || msg.ops[index].type != MsgType::Read ||
                    msg.ops[index].varType != VarType::Bool)
                    return std::nullopt;
                op.onlyIfFalse = qint8(index);
            }
            if (msg.reply) {
                op.code = r.i32();
                if (op.type == MsgType::Read && op.code == Ok)
                    op.value = r.value();
            } else {
                op.handle = r.u32();
                if (op.type == MsgType::Read)
                    op.varType = r.varType();
                else
                    op.value = r.value();
            }
            msg.ops.append(std::move(op));
        }
        break;
    }
    case MsgType::Notify:
    case MsgType::State:
        // Pushes have no reply form and always carry sequence 0.
        if (msg.seq != 0)
            return std::nullopt;
        if (msg.type == MsgType::Notify) {
            msg.handle = r.u32();
            msg.value = r.value();
        } else {
            msg.state = r.u32();
            msg.runId = r.u32();
        }
        break;
    }
    if (!r.ok() || !r.atEnd())
        return std::nullopt;
    return msg;
}

FrameReader::Result FrameReader::next(QByteArray &body)
{
    if (buffered() < LengthSize)
        return NeedMore;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_offset);
    if (length < quint32(MinBody) || length > MaxBody)
        return Invalid;
    if (buffered() < LengthSize + qsizetype(length))
        return NeedMore;
    body = m_buffer.mid(m_offset + LengthSize, length);
    m_offset += LengthSize + length;
    // Compact only now and then so that a burst of small frames is not copied over and over.
    if (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    } else if (m_offset > 65536) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    return Frame;
}

} // namespace plcproto
