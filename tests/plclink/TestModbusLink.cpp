// The Modbus link against a Modbus/TCP server this project did not write (Debian's pymodbus),
// with the PLC side played through the server's own store; the server traces every request.
#include "ModbusServerProcess.h"
#include "plclink/ModbusLink.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using State = ModbusLink::LinkState;

namespace
{

constexpr int Bound = 300;

const QString MapText = uR"(K1.anford          1 coil     0     BOOL
K1.ConnectStatus   1 holding  0     INT
K1.anfordErr       1 holding  1     DINT
K1.anfordErrText   1 holding  3     STRING(255)
K1.SendData        1 holding  200   STRING(2000)
K1.RecData         1 holding  1200  STRING(2000)
X.Swapped          1 holding  2300  DINT         DCBA
X.TextBA           1 holding  2310  STRING(5)    BA
X.Flag             1 holding  2320  BOOL
X.Ready            1 discrete 3     BOOL
X.Level            1 input    7     INT
X.Other            2 holding  10    INT
X.Missing          1 holding  5000  INT
)"_s;

struct Link : ModbusLink {
    explicit Link(const QString &port) : ModbusLink(map())
    {
        setCallTimeout(Bound);
        setReconnectDelay(20);
        setNetId(u"127.0.0.1"_s);
        setPort(port);
    }
    static modbusmap::VariableMap map()
    {
        modbusmap::VariableMap map;
        QString problem;
        if (!map.parse(MapText, u"test.modbus"_s, problem))
            qFatal("%s", qPrintable(problem));
        return map;
    }
    qint32 handle(const QString &name)
    {
        qint32 h = 0;
        createVarHandle(name, h);
        return h;
    }
    // 0 or 1, or -1 when the read failed.
    int boolOf(qint32 h)
    {
        bool b = false;
        return readVarBool(h, 2, b) == 0 ? int(b) : -1;
    }
    QString textOf(qint32 h, int size = 2000)
    {
        QString s;
        const qint32 code = readVarString(h, size, s);
        return code == 0 ? s : u"<error %1>"_s.arg(code);
    }
};

qint64 timed(const std::function<void()> &f)
{
    QElapsedTimer t;
    t.start();
    f();
    return t.elapsed();
}

} // namespace

class TestModbusLink : public QObject
{
    Q_OBJECT
    std::unique_ptr<ModbusServerProcess> server;

private slots:
    void init()
    {
        server = std::make_unique<ModbusServerProcess>();
        QVERIFY(server->start({u"--units"_s, u"1,2"_s, u"--trace"_s}));
    }
    void cleanup() { server.reset(); }

    void operationsCodesAndStrings()
    {
        Link link(server->portText());
        QSignalSpy states(&link, &PlcLink::stateChanged);
        // The first operation connects; handles are the link's own numbers, never 0.
        qint32 h = -1;
        QCOMPARE(link.createVarHandle(u"K1.nothing"_s, h), qint32(ModbusLink::UnknownSymbol));
        QCOMPARE(h, 0);
        QCOMPARE(link.linkState(), State::Idle);
        // A map entry beyond what the PLC serves is refused with the PLC's own exception.
        QCOMPARE(link.createVarHandle(u"X.Missing"_s, h), qint32(ModbusLink::IllegalAddress));
        QCOMPARE(link.linkState(), State::Connected);
        const qint32 anford = link.handle(u"k1.ANFORD"_s), status = link.handle(u"K1.ConnectStatus"_s),
                     err = link.handle(u"K1.anfordErr"_s), swapped = link.handle(u"X.Swapped"_s),
                     flag = link.handle(u"X.Flag"_s), ready = link.handle(u"X.Ready"_s),
                     level = link.handle(u"X.Level"_s), other = link.handle(u"X.Other"_s),
                     text = link.handle(u"K1.anfordErrText"_s);

        // BOOL in a coil, in a discrete input and in a holding register.
        QCOMPARE(link.boolOf(anford), 0);
        QCOMPARE(link.writeVarBool(anford, 2, true), 0);
        QCOMPARE(server->values(1, 'c', 0, 2), (QList<int>{1, 0}));
        QVERIFY(server->set(1, 'd', 3, {1}));
        QCOMPARE(link.boolOf(ready), 1);
        QVERIFY(server->set(1, 'h', 2320, {0x100}));
        QCOMPARE(link.boolOf(flag), 1);
        QCOMPARE(link.writeVarBool(flag, 2, false), 0);
        QCOMPARE(server->values(1, 'h', 2320, 1), QList<int>{0});

        QVariant value;
        // INT and DINT in the map's word and byte order; an INT may go into a DINT.
        QCOMPARE(link.writeVarInt(status, 2, -3), 0);
        QCOMPARE(server->values(1, 'h', 0, 1), QList<int>{65533});
        QCOMPARE(link.writeVarLong(swapped, 4, 0x12345678), 0);
        QCOMPARE(server->values(1, 'h', 2300, 2), (QList<int>{0x7856, 0x3412}));
        QCOMPARE(link.writeVarInt(err, 2, -2), 0);
        QCOMPARE(server->values(1, 'h', 1, 2), (QList<int>{0xFFFF, 0xFFFE}));
        QCOMPARE(link.writeVarInt(other, 2, 77), 0);
        QCOMPARE(server->values(2, 'h', 10, 1), QList<int>{77});
        QVERIFY(server->set(1, 'i', 7, {0xFFFE}));
        QCOMPARE(link.readValue(level, value), 0);
        QCOMPARE(value, QVariant(-2));

        // What does not fit is refused without a request.
        bool b = false;
        QCOMPARE(link.writeVarLong(status, 4, 1), qint32(ModbusLink::WrongType));
        QCOMPARE(link.readVarBool(text, 2, b), qint32(ModbusLink::WrongType));
        QCOMPARE(link.writeVarBool(ready, 2, false), qint32(ModbusLink::ReadOnly));
        QCOMPARE(link.writeVarString(text, 3, u"ab"_s), qint32(ModbusLink::InvalidSize));
        QCOMPARE(link.deleteVarHandle(anford), 0);
        QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::InvalidHandle));
        // The size is looked at first, then the handle, then the type, then the access.
        QString read;
        for (const qint32 code : {link.readVarBool(anford, 0, b), link.readVarString(anford, 0, read),
                                  link.writeVarBool(anford, 0, true), link.writeVarInt(anford, 1, 1),
                                  link.writeVarLong(anford, 3, 1), link.writeVarString(anford, -2, u"a"_s)})
            QCOMPARE(code, qint32(ModbusLink::InvalidSize));
        QCOMPARE(link.readVarString(anford, 2, read), qint32(ModbusLink::InvalidHandle));
        QCOMPARE(link.writeVarLong(ready, 4, 1), qint32(ModbusLink::WrongType));

        // Handles are never reused; after releaseLink none is left and the next operation
        // connects again.
        const qint32 again = link.handle(u"K1.anford"_s);
        QVERIFY(again > text);
        QCOMPARE(link.releaseLink(), 0);
        QCOMPARE(link.linkState(), State::Idle);
        QCOMPARE(link.readVarBool(again, 2, b), qint32(ModbusLink::InvalidHandle));
        QVERIFY(link.handle(u"K1.anford"_s) != 0);

        const qint32 errText = link.handle(u"K1.anfordErrText"_s), rec = link.handle(u"K1.RecData"_s),
                     ba = link.handle(u"X.TextBA"_s), bit = link.handle(u"X.Ready"_s);

        // Windows-1252, two bytes a register, first byte high, a NUL after a shorter text.
        const QString umlauts = u"Grüße €"_s;
        QCOMPARE(link.writeVarString(errText, int(umlauts.size() * 2), umlauts), 0);
        QCOMPARE(server->values(1, 'h', 3, 4), (QList<int>{0x4772, 0xFCDF, 0x6520, 0x8000}));
        QCOMPARE(link.textOf(errText), umlauts);
        // length counts two per character: only the first length/2 characters go out.
        QCOMPARE(link.writeVarString(errText, 4, u"abcdef"_s), 0);
        QCOMPARE(server->values(1, 'h', 3, 2), (QList<int>{0x6162, 0x0000}));
        QCOMPARE(link.writeVarString(errText, 512, QString(256, u'y')), qint32(ModbusLink::ValueTooLong));
        QCOMPARE(server->values(1, 'h', 3, 1), QList<int>{0x6162});

        // A text as long as the variable has no NUL and goes out in as many requests as it
        // takes, in order; it is read back in requests as large as allowed.
        int from = int(server->lines().size());
        const QString full = u'A' + QString(1998, u'x') + u'Z';
        QCOMPARE(link.writeVarString(rec, 4000, full), 0);
        QStringList expected;
        for (int i = 0; i < 8; ++i)
            expected << u"write unit=1 area=h addr=%1 count=123"_s.arg(1200 + i * 123);
        expected << u"write unit=1 area=h addr=2184 count=16"_s;
        QTRY_COMPARE(server->linesMatching(u"^write "_s, from), expected);
        from = int(server->lines().size());
        QCOMPARE(link.textOf(rec), full);
        QTRY_COMPARE(server->linesMatching(u"^read unit=1 area=h addr=\\d+ count=125$"_s, from).size(), 8);

        // Reading stops with the request that brought the NUL; size limits the characters.
        QCOMPARE(link.writeVarString(rec, 6, u"abc"_s), 0);
        QCOMPARE(server->values(1, 'h', 1200, 3), (QList<int>{0x6162, 0x6300, 0x7878}));
        from = int(server->lines().size());
        QCOMPARE(link.textOf(rec), u"abc"_s);
        QCOMPARE(link.textOf(rec, 2), u"ab"_s);
        QTRY_COMPARE(server->linesMatching(u"^read "_s, from),
                     (QStringList{u"read unit=1 area=h addr=1200 count=125"_s,
                                  u"read unit=1 area=h addr=1200 count=1"_s}));

        // The other byte order: the first character in the low byte.
        QCOMPARE(link.writeVarString(ba, 10, u"abcde"_s), 0);
        QCOMPARE(server->values(1, 'h', 2310, 3), (QList<int>{0x6261, 0x6463, 0x0065}));

        // Exceptions from the PLC come back as their codes and keep the connection; a refused
        // part of a long write ends the write there.
        for (const auto &[exception, code] : {std::pair{6, ModbusLink::DeviceBusy},
                                              {4, ModbusLink::DeviceFailure},
                                              {11, ModbusLink::GatewayTarget}}) {
            QCOMPARE(server->ask(u"fail %1 1"_s.arg(exception)), u"ok"_s);
            QCOMPARE(link.readVarBool(bit, 2, b), qint32(code));
            QCOMPARE(link.boolOf(bit), 1);
        }
        QCOMPARE(server->ask(u"fail 6 1"_s), u"ok"_s);
        QCOMPARE(link.writeVarString(rec, 4000, QString(2000, u'q')), qint32(ModbusLink::DeviceBusy));
        QCOMPARE(server->values(1, 'h', 1200, 1), QList<int>{0x6162});
        QCOMPARE(link.writeVarString(rec, 4000, QString(2000, u'q')), 0);
        QTest::qWait(50);
        QCOMPARE(states.count(), 0);
    }

    void writeAndReadInOneRequestWhereThePlcTakesIt()
    {
        Link link(server->portText());
        const qint32 status = link.handle(u"K1.ConnectStatus"_s), flag = link.handle(u"X.Flag"_s),
                     swapped = link.handle(u"X.Swapped"_s), anford = link.handle(u"k1.anford"_s),
                     other = link.handle(u"X.Other"_s);
        QVERIFY(server->set(1, 'h', 2320, {1}));
        const auto exchange = [&](const LinkOp &write, const LinkOp &read) {
            const int from = int(server->lines().size());
            LinkOp ops[] = {write, read};
            link.exchange(ops);
            // Every request is traced before its answer goes out, so before this command's answer.
            server->ask(u"get 1 h 0 1"_s);
            return std::tuple(ops[0].code, ops[1].code, ops[1].flag,
                              server->linesMatching(u" fc=23$"_s, from).size(),
                              server->linesMatching(u"^(read|write) "_s, from).size());
        };
        // The state and the flag in one request (two trace lines, one of each), in the map's word
        // order for a DINT.
        QCOMPARE(exchange(LinkOp::writeInt(status, 9), LinkOp::readBool(flag, false)),
                 std::tuple(0, 0, true, 2, 2));
        QCOMPARE(server->values(1, 'h', 0, 1), QList<int>{9});
        LinkOp dint;
        dint.kind = LinkOp::Kind::WriteLong;
        dint.handle = swapped;
        dint.number = 0x12345678;
        QCOMPARE(exchange(dint, LinkOp::readBool(flag, false)), std::tuple(0, 0, true, 2, 2));
        QCOMPARE(server->values(1, 'h', 2300, 2), (QList<int>{0x7856, 0x3412}));
        // A flag in a coil, or in another unit: two requests.
        QCOMPARE(exchange(LinkOp::writeInt(status, 8), LinkOp::readBool(anford, true)),
                 std::tuple(0, 0, false, 0, 2));
        QCOMPARE(exchange(LinkOp::writeInt(other, 8), LinkOp::readBool(flag, false)),
                 std::tuple(0, 0, true, 0, 2));
        // A PLC without the function refuses it: the operations go one by one, and from then on
        // the link does not ask again.
        QCOMPARE(server->ask(u"fail 1 1"_s), u"ok"_s);
        QCOMPARE(exchange(LinkOp::writeInt(status, 5), LinkOp::readBool(flag, false)),
                 std::tuple(0, 0, true, 2, 4));
        QVERIFY(link.combinedRefused());
        QCOMPARE(server->values(1, 'h', 0, 1), QList<int>{5});
        QCOMPARE(exchange(LinkOp::writeInt(status, 6), LinkOp::readBool(flag, false)),
                 std::tuple(0, 0, true, 0, 2));
    }

    void notificationsByPolling()
    {
        Link link(server->portText());
        link.setPollInterval(10);
        const qint32 anford = link.handle(u"K1.anford"_s);
        QSignalSpy updates(&link, &PlcLink::connectUpdate), states(&link, &PlcLink::stateChanged);
        int user = 0;
        qint32 notify = 0;
        // The current value comes first, after the running handler has returned, with the user.
        QCOMPARE(link.connectVar(u"K1.anford"_s, 4, 1, notify, &user), 0);
        QCOMPARE(updates.count(), 0);
        QTRY_COMPARE(updates.count(), 1);
        QCOMPARE(updates[0], (QVariantList{notify, false, QVariant::fromValue<void *>(&user)}));

        // The PLC raises the flag (the polling skips rounds the PLC is busy); the owner resets it
        // and the PLC raises it again before the next read: each true comes through.
        QCOMPARE(server->ask(u"fail 6 3"_s), u"ok"_s);
        QVERIFY(server->set(1, 'c', 0, {1}));
        QTRY_COMPARE(updates.count(), 2);
        QCOMPARE(updates[1][1], QVariant(true));
        QCOMPARE(link.writeVarBool(anford, 2, false), 0);
        QVERIFY(server->set(1, 'c', 0, {1}));
        QTRY_COMPARE(updates.count(), 4);
        QCOMPARE(updates[2][1], QVariant(false));
        QCOMPARE(updates[3][1], QVariant(true));

        // A registration given up before its events were delivered gets none; without any
        // registration the reading stops.
        QVERIFY(server->set(1, 'c', 0, {0}));
        QCOMPARE(link.disconnectVar(notify), 0);
        const qsizetype seen = updates.count();
        QTest::qWait(30);
        const int from = int(server->lines().size());
        QTest::qWait(100);
        QCOMPARE(server->linesMatching(u"^read "_s, from).size(), 0);
        QCOMPARE(updates.count(), seen);
        QCOMPARE(states.count(), 0);
    }

    void lostHungAndBackAsStateChange()
    {
        // A PLC that is not there at the first operation: refused at once, then found by the link.
        const quint16 port = server->port();
        server->kill();
        Link link(QString::number(port));
        QSignalSpy states(&link, &PlcLink::stateChanged);
        qint32 h = -1;
        QVERIFY(timed([&] {
                    QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), qint32(ModbusLink::NotConnected));
                }) < Bound);
        QCOMPARE(link.linkState(), State::Down);
        QVERIFY(server->restart());
        QTRY_COMPARE(states.count(), 1);
        QCOMPARE(states[0][0].toInt(), 5);
        const qint32 anford = link.handle(u"K1.anford"_s);

        // The PLC closes the connection between requests.
        QCOMPARE(server->ask(u"drop"_s), u"dropped 1"_s);
        QTRY_COMPARE(states.count(), 2);
        QCOMPARE(states[1][1].toInt(), 2);
        QCOMPARE(link.boolOf(anford), 0);

        // A garbled answer gives up the connection, which comes back.
        bool b = false;
        QCOMPARE(server->ask(u"garble 1"_s), u"ok"_s);
        QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::ProtocolError));
        QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::NotConnected));
        QTRY_COMPARE(states.count(), 3);
        QCOMPARE(link.boolOf(anford), 0);

        // A PLC that stops answering without closing the connection: one wait of the bound,
        // then every call fails at once, with the same code, until the PLC answers again.
        const auto timedOut = [&] { QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::Timeout)); };
        QCOMPARE(server->ask(u"mute -1"_s), u"ok"_s);
        const qint64 first = timed(timedOut);
        QVERIFY2(first >= Bound - 20 && first < 2LL * Bound, qPrintable(QString::number(first)));
        const qint64 later = timed([&] {
            for (int i = 0; i < 20; ++i)
                timedOut();
        });
        QVERIFY2(later < Bound / 3, qPrintable(QString::number(later)));

        // Meanwhile the link keeps trying without ever holding up the event loop: a blocking
        // attempt would show as a gap of the whole bound between ticks.
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0, worstGap = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, this,
                [&] { worstGap = qMax(worstGap, clock.elapsed() - std::exchange(last, clock.elapsed())); });
        tick.start(5);
        QTest::qWait(1500);
        tick.stop();
        QVERIFY2(worstGap < Bound / 2, qPrintable(QString::number(worstGap)));
        timedOut();
        QCOMPARE(server->ask(u"mute 0"_s), u"ok"_s);
        QTRY_COMPARE(states.count(), 4);
        QCOMPARE(link.boolOf(anford), 0);
    }
};

QTEST_MAIN(TestModbusLink)
#include "TestModbusLink.moc"
