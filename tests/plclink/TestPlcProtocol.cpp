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
};

QTEST_GUILESS_MAIN(TestPlcProtocol)
#include "TestPlcProtocol.moc"
