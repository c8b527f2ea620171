// The frame codec shared by the link and the runtime stand-in.
#include "plc/PlcProtocol.h"

#include <QTest>

using namespace plcproto;

class TestPlcProtocol : public QObject
{
    Q_OBJECT

private slots:
    void everyMessageSurvivesTheRoundTrip();
    void streamIsSplitAtFrameBorders();
    void invalidInputIsRejected();
};

namespace
{

Message msg(MsgType type, bool reply, quint32 seq)
{
    Message m;
    m.type = type;
    m.reply = reply;
    m.seq = seq;
    return m;
}

std::optional<Message> roundTrip(const Message &m)
{
    const QByteArray frame = encode(m);
    return decode(frame.mid(LengthSize));
}

} // namespace

void TestPlcProtocol::everyMessageSurvivesTheRoundTrip()
{
    std::vector<Message> all;
    Message m = msg(MsgType::Hello, false, 1);
    m.version = 9;
    all.push_back(m);
    m = msg(MsgType::Hello, true, 1);
    m.state = StateStop;
    m.runId = 0xfffffffe;
    all.push_back(m);
    m = msg(MsgType::CreateHandle, false, 2);
    m.name = QByteArray("Line1.anford\xe4", 13);
    all.push_back(m);
    m = msg(MsgType::CreateHandle, true, 2);
    m.handle = 0x80000001;
    m.varType = VarType::String;
    m.capacity = 2000;
    all.push_back(m);
    m = msg(MsgType::Read, false, 3);
    m.handle = 5;
    m.varType = VarType::DInt;
    all.push_back(m);
    m = msg(MsgType::Read, true, 3);
    m.value = Value::int32(-2147483647 - 1);
    all.push_back(m);
    m = msg(MsgType::Read, true, 3);
    m.code = UnknownSymbol; // a refusal carries no value
    all.push_back(m);
    m = msg(MsgType::Write, false, 4);
    m.handle = 6;
    m.value = Value::string(QByteArray(MaxStringCapacity, '\0'));
    all.push_back(m);
    m = msg(MsgType::Write, false, 4);
    m.value = Value::int16(-32768);
    all.push_back(m);
    m = msg(MsgType::Subscribe, true, 5);
    m.handle = 12;
    all.push_back(m);
    m = msg(MsgType::Unsubscribe, false, 6);
    m.handle = 12;
    all.push_back(m);
    m = msg(MsgType::Control, false, 7);
    m.control = ControlRestart;
    all.push_back(m);
    m = msg(MsgType::Notify, false, 0);
    m.handle = 12;
    m.value = Value::boolean(true);
    all.push_back(m);
    m = msg(MsgType::State, false, 0);
    m.state = StateRun;
    m.runId = 3;
    all.push_back(m);

    for (const Message &in : all) {
        const QByteArray frame = encode(in);
        QVERIFY(frame.size() - LengthSize <= qsizetype(MaxBody));
        const std::optional<Message> out = roundTrip(in);
        QVERIFY2(out, qPrintable(frame.toHex()));
        QCOMPARE(out->type, in.type);
        QCOMPARE(out->reply, in.reply);
        QCOMPARE(out->seq, in.seq);
        QCOMPARE(out->code, in.reply ? in.code : qint32(Ok));
        QCOMPARE(out->handle, in.handle);
        QCOMPARE(out->name, in.name);
        QCOMPARE(out->state, in.state);
        QCOMPARE(out->runId, in.runId);
        QCOMPARE(out->control, in.control);
        if (in.type == MsgType::Hello)
            QCOMPARE(out->version, in.version);
        if (in.type == MsgType::CreateHandle || (in.type == MsgType::Read && !in.reply))
            QCOMPARE(out->varType, in.varType);
        QCOMPARE(out->capacity, in.capacity);
        if (in.code == Ok)
            QVERIFY(out->value == in.value);
    }
}

void TestPlcProtocol::streamIsSplitAtFrameBorders()
{
    Message a = msg(MsgType::Ping, false, 1);
    Message b = msg(MsgType::Write, false, 2);
    b.value = Value::string("x");
    const QByteArray stream = encode(a) + encode(b) + encode(a);
    FrameReader reader;
    QByteArray body;
    QList<quint32> seen;
    // Byte by byte: a frame is handed out only once it is complete.
    for (const char c : stream) {
        reader.append(&c, 1);
        while (reader.next(body) == FrameReader::Frame)
            seen << decode(body)->seq;
    }
    QCOMPARE(seen, (QList<quint32>{1, 2, 1}));
    QCOMPARE(reader.buffered(), 0);
    QCOMPARE(reader.next(body), FrameReader::NeedMore);
}

void TestPlcProtocol::invalidInputIsRejected()
{
    FrameReader reader;
    QByteArray body;
    // A length beyond any valid frame is refused before its bytes arrive.
    reader.append("\x00\x00\x20\x01", 4);
    QCOMPARE(reader.next(body), FrameReader::Invalid);
    FrameReader tiny;
    tiny.append("\x00\x00\x00\x04zzzz", 8);
    QCOMPARE(tiny.next(body), FrameReader::Invalid);

    const QByteArray ping = encode(msg(MsgType::Ping, false, 9)).mid(LengthSize);
    QVERIFY(decode(ping));
    QVERIFY(!decode(ping + 'x'));   // trailing bytes
    QVERIFY(!decode(ping.left(4))); // short
    QByteArray unknown = ping;
    unknown[0] = char(0x3f);
    QVERIFY(!decode(unknown));
    QByteArray replyPush = encode(msg(MsgType::State, false, 0)).mid(LengthSize);
    replyPush[0] = char(0x82 | ReplyFlag);
    QVERIFY(!decode(replyPush));
    QVERIFY(!decode(encode(msg(MsgType::State, false, 7)).mid(LengthSize))); // pushes carry 0

    Message w = msg(MsgType::Write, false, 1);
    w.value = Value::boolean(true);
    QByteArray badBool = encode(w).mid(LengthSize);
    badBool[badBool.size() - 1] = 2;
    QVERIFY(!decode(badBool));
    QByteArray badType = encode(w).mid(LengthSize);
    badType[badType.size() - 2] = 9;
    QVERIFY(!decode(badType));

    // A string whose announced length exceeds the limit or the frame.
    Message s = msg(MsgType::Write, false, 1);
    s.value = Value::string("abc");
    QByteArray longString = encode(s).mid(LengthSize);
    longString[longString.size() - 5] = char(0xff);
    longString[longString.size() - 4] = char(0xff);
    QVERIFY(!decode(longString));
    QByteArray cut = encode(s).mid(LengthSize);
    cut.chop(1);
    QVERIFY(!decode(cut));
    Message c = msg(MsgType::CreateHandle, false, 1);
    c.name = QByteArray(MaxNameBytes, 'n');
    QByteArray longName = encode(c).mid(LengthSize);
    QVERIFY(decode(longName));
    longName[5] = char(0x01); // announces 256 + 255 bytes
    QVERIFY(!decode(longName));
}

QTEST_GUILESS_MAIN(TestPlcProtocol)
#include "TestPlcProtocol.moc"
