// The frame codec shared by the link and the runtime stand-in.
#include "plclink/PlcProtocol.h"

#include <QTest>

using namespace plcproto;
using enum plcproto::MsgType;
// Messages are spelled with designated initializers: the fields left out keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace
{

// The body with byte `at` (counted from the end when negative) replaced.
QByteArray patched(QByteArray b, qsizetype at, char to)
{
    b[at < 0 ? b.size() + at : at] = to;
    return b;
}

} // namespace

class TestPlcProtocol : public QObject
{
    Q_OBJECT

private slots:
    void streamIsSplitAtFrameBorders()
    {
        const QByteArray ping = encode({.type = Ping, .seq = 1});
        const QByteArray stream =
            ping + encode({.type = Write, .seq = 2, .value = Value::string("x")}) + ping;
        FrameReader reader;
        QByteArray frame;
        QList<quint32> seen;
        // Byte by byte: a frame is handed out only once it is complete.
        for (const char c : stream) {
            reader.append(&c, 1);
            while (reader.next(frame) == FrameReader::Frame)
                seen << decode(frame)->seq;
        }
        QCOMPARE(seen, (QList<quint32>{1, 2, 1}));
        QCOMPARE(reader.buffered(), 0);
        QCOMPARE(reader.next(frame), FrameReader::NeedMore);

        // A length beyond any valid frame is refused before its bytes arrive; so is one too short.
        FrameReader huge, tiny;
        huge.append("\x00\x00\x20\x01", 4);
        QCOMPARE(huge.next(frame), FrameReader::Invalid);
        tiny.append("\x00\x00\x00\x04zzzz", 8);
        QCOMPARE(tiny.next(frame), FrameReader::Invalid);
    }

    void invalidBodiesAreRejected()
    {
        const auto body = [](const Message &m) { return encode(m).mid(LengthSize); };
        const QByteArray ping = body({.type = Ping, .seq = 9}), state = body({.type = State});
        const QByteArray flag = body({.type = Write, .seq = 1, .value = Value::boolean(true)});
        const QByteArray abc = body({.type = Write, .seq = 1, .value = Value::string("abc")});
        const QByteArray longName =
            body({.type = CreateHandle, .seq = 1, .name = QByteArray(MaxNameBytes, 'n')});
        for (const QByteArray &valid : {ping, state, flag, abc, longName})
            QVERIFY2(decode(valid), valid.toHex().constData());
        // Trailing bytes, short, unknown type; a push as a reply or with a sequence; BOOL byte 2, value
        // type 9; a string over the limit or beyond the frame; a name of 256 + 255 bytes.
        const QByteArray invalid[] = {ping + 'x',
                                      ping.left(4),
                                      patched(ping, 0, 0x3f),
                                      patched(state, 0, char(0x82 | ReplyFlag)),
                                      body({.type = State, .seq = 7}),
                                      patched(flag, -1, 2),
                                      patched(flag, -2, 9),
                                      patched(patched(abc, -5, char(0xff)), -4, char(0xff)),
                                      abc.chopped(1),
                                      patched(longName, 5, 1)};
        for (const QByteArray &bytes : invalid)
            QVERIFY2(!decode(bytes), bytes.toHex().constData());
    }

    void batchCarriesEachOperationAndItsCode()
    {
        const Message request{.type = Batch,
                              .seq = 5,
                              .ops = {{.type = Write, .handle = 7, .value = Value::int16(-3)},
                                      {.type = Read, .handle = 8, .varType = VarType::Bool},
                                      {.type = Write, .handle = 9, .value = Value::string("OK 1")}}};
        const std::optional<Message> in = decode(encode(request).mid(LengthSize));
        QVERIFY(in && in->type == Batch && !in->reply && in->ops.size() == 3);
        QCOMPARE(in->ops[0].value, Value::int16(-3));
        QCOMPARE(std::pair(in->ops[1].handle, in->ops[1].varType), std::pair(8u, VarType::Bool));
        QCOMPARE(in->ops[2].value, Value::string("OK 1"));

        // The reply: a read's value only where it succeeded.
        const Message reply{.type = Batch,
                            .reply = true,
                            .seq = 5,
                            .ops = {{.type = Write, .code = ValueTooLong},
                                    {.type = Read, .value = Value::boolean(true)},
                                    {.type = Read, .code = InvalidHandle}}};
        const QByteArray body = encode(reply).mid(LengthSize);
        const std::optional<Message> out = decode(body);
        QVERIFY(out && out->reply && out->ops.size() == 3);
        QCOMPARE(out->ops[0].code, qint32(ValueTooLong));
        QCOMPARE(std::pair(out->ops[1].code, out->ops[1].value), std::pair(qint32(Ok), Value::boolean(true)));
        QCOMPARE(out->ops[2].code, qint32(InvalidHandle));
        QCOMPARE(body.size(), 1 + 4 + 4 + 1 + 3 * 5 + 2);

        // No operations, more than the limit, or one that is not a read or write: not a batch.
        Message many{.type = Batch, .seq = 1};
        for (int i = 0; i <= MaxBatchOps; ++i)
            many.ops.append({.type = Read, .handle = quint32(i)});
        const QByteArray tooMany = encode(many).mid(LengthSize);
        many.ops.resize(MaxBatchOps);
        QVERIFY(decode(encode(many).mid(LengthSize)));
        const QByteArray two = encode(Message{.type = Batch, .seq = 1, .ops = {{}, {}}}).mid(LengthSize);
        QVERIFY(decode(two));
        for (const QByteArray &bytes : {tooMany, patched(two, 5, 0), patched(two, 6, char(Ping)),
                                        patched(two, 6, char(Batch)), two.chopped(1)})
            QVERIFY2(!decode(bytes), bytes.toHex().constData());
    }

    void conditionNamesAnEarlierBoolRead()
    {
        Message request{
            .type = Batch,
            .seq = 5,
            .ops = {{.type = Read, .handle = 8, .varType = VarType::Bool},
                    {.type = Write, .handle = 9, .value = Value::string("OK"), .onlyIfFalse = 0},
                    {.type = Write, .handle = 8, .value = Value::boolean(true), .onlyIfFalse = 0}}};
        const QByteArray body = encode(request).mid(LengthSize);
        const std::optional<Message> in = decode(body);
        QVERIFY(in && in->ops.size() == 3);
        QCOMPARE(std::tuple(in->ops[0].onlyIfFalse, in->ops[1].onlyIfFalse, in->ops[2].onlyIfFalse),
                 std::tuple(qint8(-1), qint8(0), qint8(0)));
        QCOMPARE(in->ops[1].value, Value::string("OK"));
        // The condition is one byte behind the type, which carries ConditionFlag.
        QCOMPARE(body.size(), 1 + 4 + 1 + (1 + 4 + 1) + (2 + 4 + 1 + 2 + 2) + (2 + 4 + 2));

        // On itself, on a later operation, on a write, on a read of another type, or in a reply:
        // not a batch.
        QList<QByteArray> invalid;
        for (const qint8 index : {qint8(1), qint8(2)}) {
            Message wrong = request;
            wrong.ops[1].onlyIfFalse = index;
            invalid << encode(wrong).mid(LengthSize);
        }
        Message onWrite = request;
        onWrite.ops[2].onlyIfFalse = 1;
        Message onText = request;
        onText.ops[0].varType = VarType::String;
        invalid << encode(onWrite).mid(LengthSize) << encode(onText).mid(LengthSize);
        const QByteArray reply = encode(Message{.type = Batch,
                                                .reply = true,
                                                .seq = 5,
                                                .ops = {{.type = Read, .code = 1}, {.type = Write}}})
                                     .mid(LengthSize);
        QVERIFY(decode(reply));
        invalid << patched(reply, 5 + 4 + 1 + 5, char(quint8(Write) | ConditionFlag));
        for (const QByteArray &bytes : invalid)
            QVERIFY2(!decode(bytes), bytes.toHex().constData());
    }
};

QTEST_GUILESS_MAIN(TestPlcProtocol)
#include "TestPlcProtocol.moc"
