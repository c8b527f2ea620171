#pragma once

#include "plclink/LinkCodes.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

// Wire format between the PLC link and a PLC runtime (docs/plc-link-protocol.md).
//
// Every frame is a 4-byte big-endian body length followed by the body: message type (1 byte),
// sequence number (4 bytes) and the payload of that type. A reply carries the sequence number
// of its request; pushes carry 0. The body of a valid frame is never longer than MaxBody, so a
// reader can reject a larger length before it buffers anything.
namespace plcproto
{

// The version a link greets with first; a runtime that answers VersionMismatch is greeted again
// with an older one: BatchVersion has Batch without conditions, BaseVersion has no Batch.
constexpr quint16 Version = 3;
constexpr quint16 BatchVersion = 2;
constexpr quint16 BaseVersion = 1;
constexpr quint16 DefaultPort = 48898;
constexpr int LengthSize = 4;
constexpr int MinBody = 5;
constexpr quint32 MaxBody = 8192;
constexpr int MaxNameBytes = 255;
constexpr int MaxStringCapacity = 4000;
// Operations in one Batch request.
constexpr int MaxBatchOps = 16;
// On the type of an operation in a Batch request: carried out only on a condition (version 3).
constexpr quint8 ConditionFlag = 0x80;

enum class MsgType : quint8 {
    Hello = 0x01,
    CreateHandle = 0x02,
    DeleteHandle = 0x03,
    Read = 0x04,
    Write = 0x05,
    Subscribe = 0x06,
    Unsubscribe = 0x07,
    Ping = 0x08,
    Control = 0x09,
    Batch = 0x0A,
    Notify = 0x81,
    State = 0x82,
};
constexpr quint8 ReplyFlag = 0x40;

enum class VarType : quint8 { Bool = 1, Int = 2, DInt = 3, String = 4 };

// Program states of the runtime as they travel in Hello replies and State pushes.
enum RuntimeState : quint32 { StateRun = 5, StateStop = 6 };

enum ControlOp : quint8 { ControlStop = 1, ControlStart = 2, ControlRestart = 3 };

// The results of the link's operations (plclink/LinkCodes.h) and the runtime's own beside them; the
// runtime answers with the same numbers.
using enum plclink::Code;
enum RuntimeCode : qint32 {
    ProgramStopped = 1815,
    TooManyHandles = 1816,
    BadRequest = 1817,
};

QString codeText(qint32 code);

struct Value {
    VarType type = VarType::Bool;
    qint32 number = 0; // BOOL (0/1), INT and DINT
    QByteArray text;   // STRING, in the plants' single-byte code page

    static Value boolean(bool b) { return {VarType::Bool, b ? 1 : 0, {}}; }
    static Value int16(qint16 v) { return {VarType::Int, v, {}}; }
    static Value int32(qint32 v) { return {VarType::DInt, v, {}}; }
    static Value string(const QByteArray &s) { return {VarType::String, 0, s}; }
    bool operator==(const Value &o) const { return type == o.type && number == o.number && text == o.text; }
};

QString typeName(VarType type, quint32 capacity = 0);

// One operation inside a Batch: a Read or a Write with its fields; in the reply its code and,
// for a successful Read, the value.
struct BatchOp {
    MsgType type = MsgType::Read;
    quint32 handle = 0;
    VarType varType = VarType::Bool; // Read: the expected type
    Value value;                     // Write; a successful Read's reply
    qint32 code = Ok;                // reply
    // Request (version 3): carried out only when the BOOL Read at this earlier index of the same
    // Batch gave code 0 and false; otherwise its code is NotRun. -1: always.
    qint8 onlyIfFalse = -1;
};

// One message of either direction; only the fields of its type are meaningful.
struct Message {
    MsgType type = MsgType::Ping;
    bool reply = false;
    quint32 seq = 0;
    qint32 code = Ok;                // replies
    quint16 version = Version;       // Hello and its reply
    QByteArray name;                 // CreateHandle, Subscribe
    quint32 handle = 0;              // Delete/Read/Write/Unsubscribe, Notify, replies of Create/Subscribe
    VarType varType = VarType::Bool; // Read (expected type), CreateHandle reply
    quint32 capacity = 0;            // CreateHandle reply
    Value value;                     // Write, Read reply, Notify
    quint32 state = StateRun;        // Hello reply, State
    quint32 runId = 0;               // Hello reply, State
    quint8 control = ControlStop;    // Control
    QList<BatchOp> ops;              // Batch and its reply
};

// The whole frame, length prefix included. Fields that do not fit (a name or string above the
// limits) are the caller's to prevent; they are cut rather than producing an invalid frame.
QByteArray encode(const Message &msg);

// Decodes one body (type, sequence, payload). Anything but an exact, valid body of a known
// type gives nothing: the reader of a byte stream cannot resynchronise after that.
std::optional<Message> decode(const char *body, qsizetype size);
inline std::optional<Message> decode(const QByteArray &body)
{
    return decode(body.constData(), body.size());
}

// Splits a byte stream into frame bodies.
class FrameReader
{
public:
    enum Result { NeedMore, Frame, Invalid };

    void append(const char *data, qsizetype size) { m_buffer.append(data, size); }
    // Frame: body holds the next frame's body. Invalid: the stream announced a length outside
    // MinBody..MaxBody; the buffer is left as it is and the connection must be dropped.
    Result next(QByteArray &body);
    void clear()
    {
        m_buffer.clear();
        m_offset = 0;
    }
    qsizetype buffered() const { return m_buffer.size() - m_offset; }

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0;
};

} // namespace plcproto
