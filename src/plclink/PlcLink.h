#pragma once

#include "plclink/LinkCodes.h"

#include <QObject>
#include <QString>
#include <QVarLengthArray>
#include <QVariant>

#include <span>
#include <utility>

// One operation of a combined call (PlcLink::exchange): what it does to which handle, the value
// it writes, and after the call its code and the value it read. An operation may be carried out
// only on a condition: that the BOOL read at an earlier index of the same call succeeded and read
// false. One whose condition did not hold is left out and has the code plclink::NotRun.
struct LinkOp {
    enum class Kind : quint8 { ReadBool, WriteBool, WriteInt, WriteLong, WriteString };
    Kind kind = Kind::ReadBool;
    qint32 handle = 0;
    bool flag = false;      // written by WriteBool; what ReadBool read
    qint32 number = 0;      // written by WriteInt (16 bits) and WriteLong
    QString text;           // written by WriteString (the whole text)
    qint32 code = 0;        // the operation's result
    qint8 onlyIfFalse = -1; // the index of the ReadBool it depends on; -1: none

    bool ran() const { return code != plclink::NotRun; }
    LinkOp &onlyIfReadFalse(qsizetype readIndex)
    {
        onlyIfFalse = qint8(readIndex);
        return *this;
    }

    static LinkOp readBool(qint32 handle, bool preset)
    {
        LinkOp op;
        op.kind = Kind::ReadBool;
        op.handle = handle;
        op.flag = preset;
        return op;
    }
    static LinkOp writeBool(qint32 handle, bool value)
    {
        LinkOp op;
        op.kind = Kind::WriteBool;
        op.handle = handle;
        op.flag = value;
        return op;
    }
    static LinkOp writeInt(qint32 handle, qint16 value)
    {
        LinkOp op;
        op.kind = Kind::WriteInt;
        op.handle = handle;
        op.number = value;
        return op;
    }
    static LinkOp writeString(qint32 handle, const QString &value)
    {
        LinkOp op;
        op.kind = Kind::WriteString;
        op.handle = handle;
        op.text = value;
        return op;
    }
};

// The PLC link as the gateway uses it: named variables of the PLC runtime reached through
// handles, typed reads and writes, value notifications and runtime state changes.
//
// Every operation returns a 32-bit code, 0 = success; the gateway never interprets a code,
// it only shows it in decimal. Calls are synchronous with a bounded wait and never re-enter
// the event loop; connectUpdate and stateChanged are delivered as events after the running
// handler has returned.
class PlcLink : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~PlcLink() override = default;

    // Target of the link. Set at start-up, each only when its text is not empty.
    virtual QString netId() const = 0;
    virtual void setNetId(const QString &value) = 0;
    virtual QString netId2() const = 0;
    virtual void setNetId2(const QString &value) = 0;
    virtual QString port() const = 0;
    virtual void setPort(const QString &value) = 0;

    // The state of the link for a status display: connected to its PLC now; why it last failed,
    // in plain words (empty until it first failed); its kind and target in words ("the PLC
    // runtime at 127.0.0.1:48898"). A link that keeps a connection tells them.
    virtual bool isConnected() const { return false; }
    virtual QString lastFailure() const { return {}; }
    virtual QString targetDescription() const { return {}; }

    virtual qint32 createVarHandle(const QString &name, qint32 &handle) = 0;
    virtual qint32 deleteVarHandle(qint32 handle) = 0;
    // Value notifications on change; user comes back unchanged with every connectUpdate of this
    // registration.
    virtual qint32 connectVar(const QString &name, qint32 &notifyHandle, void *user) = 0;
    virtual qint32 disconnectVar(qint32 notifyHandle) = 0;
    virtual qint32 readVarBool(qint32 handle, bool &value) = 0;
    virtual qint32 writeVarBool(qint32 handle, bool value) = 0;
    // At most size characters; the text may end in a NUL character followed by filler characters.
    virtual qint32 readVarString(qint32 handle, qint32 size, QString &text) = 0;
    // The whole text.
    virtual qint32 writeVarString(qint32 handle, const QString &text) = 0;
    // Into a DINT variable.
    virtual qint32 writeVarLong(qint32 handle, qint32 value) = 0;
    // Into an INT variable.
    virtual qint32 writeVarInt(qint32 handle, qint16 value) = 0;
    // Carries out the operations in their order, each with its own code, as if called one by
    // one; a link that can does it in one exchange with the PLC side. A failure of one operation
    // does not keep the later ones from running; a condition that does not hold does. A link
    // that cannot carry conditions to the PLC side splits the call before the first operation
    // that depends on a read of the same exchange (exchangeInParts).
    virtual void exchange(std::span<LinkOp> ops) { runEach(ops); }
    virtual qint32 releaseLink() = 0;
    // Opens the link's own settings dialog (target and connection state).
    virtual qint32 showProperties() = 0;

    // The operations from index `from` on as single calls, each whose condition holds.
    void runEach(std::span<LinkOp> ops, size_t from = 0);
    // Whether the operation at this index is to be carried out: it has no condition, or the read
    // it names came before it, succeeded and read false.
    static bool conditionHolds(std::span<const LinkOp> ops, size_t index);

protected:
    // For a link that cannot carry conditions: the operations in parts, each without a condition
    // that depends on a read inside it, given to part() in order (conditions cleared while it
    // runs); an operation whose condition does not hold is left out.
    template <typename Part> void exchangeInParts(std::span<LinkOp> ops, Part &&part);

signals:
    void connectUpdate(qint32 notifyHandle, const QVariant &value, void *user);
    // state 5: the runtime (re)started its program; every handle must be made anew.
    void stateChanged(qint32 state, qint32 other);

private:
    // The end of the part that starts at begin: before the next operation whose condition
    // depends on a read inside the part or does not hold.
    static size_t partEnd(std::span<const LinkOp> ops, size_t begin);
};

template <typename Part> void PlcLink::exchangeInParts(std::span<LinkOp> ops, Part &&part)
{
    size_t begin = 0;
    while (begin < ops.size()) {
        if (!conditionHolds(ops, begin)) {
            ops[begin++].code = plclink::NotRun;
            continue;
        }
        const size_t end = partEnd(ops, begin);
        const std::span<LinkOp> piece = ops.subspan(begin, end - begin);
        QVarLengthArray<qint8, 16> conditions;
        for (LinkOp &op : piece)
            conditions.append(std::exchange(op.onlyIfFalse, qint8(-1)));
        part(piece);
        for (size_t i = 0; i < piece.size(); ++i)
            piece[i].onlyIfFalse = conditions[qsizetype(i)];
        begin = end;
    }
}
