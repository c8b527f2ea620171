// The Modbus link against a Modbus/TCP server this project did not write (Debian's pymodbus),
// with the PLC side played through the server's own store and, for one cross-check, mbpoll.
#include "ModbusServerProcess.h"
#include "plc/ModbusLink.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <thread>

using namespace Qt::StringLiterals;
using modbusmap::VariableMap;
using State = ModbusLink::LinkState;

namespace
{

constexpr int Bound = 300;

const QString MapText = uR"(# the seven variables of instance K1, and a few more
K1.anford          1 coil     0     BOOL
K1.antwort         1 coil     1     BOOL
K1.ConnectStatus   1 holding  0     INT
K1.anfordErr       1 holding  1     DINT
K1.anfordErrText   1 holding  3     STRING(255)
K1.SendData        1 holding  200   STRING(2000)
K1.RecData         1 holding  1200  STRING(2000)
X.Swapped          1 holding  2300  DINT         CDAB
X.Bytes            1 holding  2302  DINT         BADC
X.TextBA           1 holding  2310  STRING(5)    BA
X.Flag             1 holding  2320  BOOL
X.Ready            1 discrete 3     BOOL
X.Level            1 input    7     INT
X.Other            2 holding  10    INT
X.Missing          1 holding  5000  INT
)"_s;

VariableMap testMap(const QString &extra = {})
{
    VariableMap map;
    QString problem;
    if (!map.parse(MapText + extra, u"test.modbus"_s, problem))
        qFatal("%s", qPrintable(problem));
    return map;
}

struct Link : ModbusLink {
    explicit Link(const QString &port, const QString &extra = {}) : ModbusLink(testMap(extra))
    {
        setCallTimeout(Bound);
        setReconnectDelay(20);
        setNetId(u"127.0.0.1"_s);
        setPort(port);
    }
    qint32 handle(const QString &name)
    {
        qint32 h = 0;
        const qint32 c = createVarHandle(name, h);
        if (c != 0)
            qWarning("createVarHandle %s: %d", qPrintable(name), c);
        return h;
    }
};

qint64 timed(const std::function<void()> &f)
{
    QElapsedTimer t;
    t.start();
    f();
    return t.elapsed();
}

// Register values of a text in the first-byte-high order.
QList<int> registersOf(const QByteArray &bytes)
{
    QList<int> regs;
    for (qsizetype i = 0; i < bytes.size(); i += 2)
        regs << ((quint8(bytes[i]) << 8) | (i + 1 < bytes.size() ? quint8(bytes[i + 1]) : 0));
    return regs;
}

} // namespace

class TestModbusLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void operationsAndTheirCodes();
    void stringsOverRegisters();
    void notificationsByPolling();
    void exceptionsKeepTheConnection();
    void lostConnectionComesBackAsStateChange();
    void hungPlcCostsOneBoundedWait();
    void restartDuringARequest();
    void targets();

private:
    ModbusServerProcess *server = nullptr;
};

void TestModbusLink::init()
{
    server = new ModbusServerProcess;
    QVERIFY(server->start({u"--units"_s, u"1,2"_s, u"--holding"_s, u"4096"_s}));
}

void TestModbusLink::cleanup()
{
    delete server;
    server = nullptr;
}

void TestModbusLink::operationsAndTheirCodes()
{
    Link link(server->portText());
    QSignalSpy states(&link, &KeloLink::stateChanged);

    // The first operation connects; handles are the link's own numbers, never 0.
    qint32 h = -1;
    QCOMPARE(link.createVarHandle(u"K1.nothing"_s, h), qint32(ModbusLink::UnknownSymbol));
    QCOMPARE(h, 0);
    QCOMPARE(link.linkState(), State::Idle);
    // A map entry beyond what the PLC serves is refused with the PLC's own exception.
    QCOMPARE(link.createVarHandle(u"X.Missing"_s, h), qint32(ModbusLink::IllegalAddress));
    QCOMPARE(h, 0);
    QCOMPARE(link.linkState(), State::Connected);
    const qint32 anford = link.handle(u"k1.ANFORD"_s);
    const qint32 status = link.handle(u"K1.ConnectStatus"_s);
    const qint32 err = link.handle(u"K1.anfordErr"_s);
    const qint32 swapped = link.handle(u"X.Swapped"_s);
    const qint32 bytes = link.handle(u"X.Bytes"_s);
    const qint32 flag = link.handle(u"X.Flag"_s);
    const qint32 ready = link.handle(u"X.Ready"_s);
    const qint32 level = link.handle(u"X.Level"_s);
    const qint32 other = link.handle(u"X.Other"_s);
    const qint32 text = link.handle(u"K1.anfordErrText"_s);
    for (qint32 x : {anford, status, err, swapped, bytes, flag, ready, level, other, text})
        QVERIFY(x != 0);

    // BOOL in a coil, in a discrete input and in a holding register.
    bool b = true;
    QCOMPARE(link.readVarBool(anford, 2, b), 0);
    QCOMPARE(b, false);
    QCOMPARE(link.writeVarBool(anford, 2, true), 0);
    QCOMPARE(server->values(1, 'c', 0, 2), (QList<int>{1, 0}));
    QVERIFY(server->set(1, 'd', 3, {1}));
    QCOMPARE(link.readVarBool(ready, 2, b), 0);
    QCOMPARE(b, true);
    QVERIFY(server->set(1, 'h', 2320, {0x100}));
    QCOMPARE(link.readVarBool(flag, 2, b), 0);
    QCOMPARE(b, true);
    QCOMPARE(link.writeVarBool(flag, 2, false), 0);
    QCOMPARE(server->values(1, 'h', 2320, 1), QList<int>{0});

    // INT and DINT in the four word and byte orders; an INT may go into a DINT.
    QCOMPARE(link.writeVarInt(status, 2, -3), 0);
    QCOMPARE(server->values(1, 'h', 0, 1), QList<int>{65533});
    QCOMPARE(link.writeVarLong(err, 4, 0x12345678), 0);
    QCOMPARE(link.writeVarLong(swapped, 4, 0x12345678), 0);
    QCOMPARE(link.writeVarLong(bytes, 4, 0x12345678), 0);
    QCOMPARE(server->values(1, 'h', 1, 2), (QList<int>{0x1234, 0x5678}));
    QCOMPARE(server->values(1, 'h', 2300, 4), (QList<int>{0x5678, 0x1234, 0x3412, 0x7856}));
    QCOMPARE(link.writeVarInt(err, 2, -2), 0);
    QCOMPARE(server->values(1, 'h', 1, 2), (QList<int>{0xFFFF, 0xFFFE}));
    QCOMPARE(link.writeVarInt(other, 2, 77), 0);
    QCOMPARE(server->values(2, 'h', 10, 1), QList<int>{77});
    QCOMPARE(server->values(1, 'h', 10, 1), QList<int>{0});
    QVERIFY(server->set(1, 'i', 7, {0xFFFE}));
    QVariant value;
    QCOMPARE(link.readValue(level, value), 0);
    QCOMPARE(value, QVariant(-2));

    // An independent client reads the DINTs as the PLC program would declare them.
    QCOMPARE(link.writeVarLong(err, 4, -123456), 0);
    QCOMPARE(link.writeVarLong(swapped, 4, 987654), 0);
    for (const auto &[address, wordOrder, expected] :
         {std::tuple{1, u"-B"_s, u"-123456"_s}, std::tuple{2300, QString(), u"987654"_s}}) {
        QProcess mbpoll;
        QStringList args{u"-m"_s,    u"tcp"_s, u"-p"_s, server->portText(),       u"-a"_s,
                         u"1"_s,     u"-0"_s,  u"-r"_s, QString::number(address), u"-t"_s,
                         u"4:int"_s, u"-1"_s,  u"-q"_s};
        if (!wordOrder.isEmpty())
            args << wordOrder;
        mbpoll.start(u"mbpoll"_s, args << u"127.0.0.1"_s);
        QVERIFY2(mbpoll.waitForFinished(10000), "mbpoll (Debian package mbpoll) did not run");
        QVERIFY2(QString::fromUtf8(mbpoll.readAllStandardOutput()).contains(u"]: \t"_s + expected),
                 qPrintable(expected));
    }

    // What does not fit is refused without a request.
    QCOMPARE(link.writeVarLong(status, 4, 1), qint32(ModbusLink::WrongType));
    QCOMPARE(link.readVarBool(text, 2, b), qint32(ModbusLink::WrongType));
    QString s;
    QCOMPARE(link.readVarString(anford, 2000, s), qint32(ModbusLink::WrongType));
    QCOMPARE(link.writeVarBool(ready, 2, false), qint32(ModbusLink::ReadOnly));
    QCOMPARE(link.writeVarInt(level, 2, 1), qint32(ModbusLink::ReadOnly));
    QCOMPARE(link.writeVarString(text, 3, u"ab"_s), qint32(ModbusLink::InvalidSize));
    QCOMPARE(link.deleteVarHandle(anford), 0);
    QCOMPARE(link.deleteVarHandle(anford), qint32(ModbusLink::InvalidHandle));
    QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::InvalidHandle));

    // Handles are never reused; after releaseLink none is left and the next operation
    // connects again.
    const qint32 again = link.handle(u"K1.anford"_s);
    QVERIFY(again > text);
    QCOMPARE(link.releaseLink(), 0);
    QCOMPARE(link.linkState(), State::Idle);
    QCOMPARE(link.readVarBool(again, 2, b), qint32(ModbusLink::InvalidHandle));
    QVERIFY(link.handle(u"K1.anford"_s) != 0);
    QTest::qWait(50);
    QCOMPARE(states.count(), 0);
}

void TestModbusLink::stringsOverRegisters()
{
    Link link(server->portText());
    const qint32 errText = link.handle(u"K1.anfordErrText"_s);
    const qint32 rec = link.handle(u"K1.RecData"_s);
    const qint32 send = link.handle(u"K1.SendData"_s);
    const qint32 ba = link.handle(u"X.TextBA"_s);

    // Windows-1252, two bytes a register, first byte high, a NUL after a shorter text.
    const QString umlauts = u"Grüße €"_s;
    QCOMPARE(link.writeVarString(errText, int(umlauts.size() * 2), umlauts), 0);
    QCOMPARE(server->values(1, 'h', 3, 4), (QList<int>{0x4772, 0xFCDF, 0x6520, 0x8000}));
    QString s;
    QCOMPARE(link.readVarString(errText, 2000, s), 0);
    QCOMPARE(s, umlauts);
    // length counts two per character: only the first length/2 characters go out.
    QCOMPARE(link.writeVarString(errText, 4, u"abcdef"_s), 0);
    QCOMPARE(server->values(1, 'h', 3, 2), (QList<int>{0x6162, 0x0000}));
    const QString tooLong(256, u'y');
    QCOMPARE(link.writeVarString(errText, 512, tooLong), qint32(ModbusLink::ValueTooLong));
    QCOMPARE(server->values(1, 'h', 3, 1), QList<int>{0x6162});

    // A text as long as the variable has no NUL, and goes out in as many requests as it
    // takes, in order.
    QCOMPARE(server->ask(u"trace on"_s), u"ok"_s);
    int from = int(server->lines().size());
    QString full(2000, u'x');
    full[0] = u'A';
    full[1999] = u'Z';
    QCOMPARE(link.writeVarString(rec, 4000, full), 0);
    QCOMPARE(server->ask(u"trace off"_s), u"ok"_s);
    QStringList writes = server->linesMatching(u"^write "_s, from);
    QCOMPARE(writes.size(), 9);
    for (int i = 0; i < 8; ++i)
        QCOMPARE(writes[i], u"write unit=1 area=h addr=%1 count=123"_s.arg(1200 + i * 123));
    QCOMPARE(writes[8], u"write unit=1 area=h addr=2184 count=16"_s);
    QCOMPARE(server->values(1, 'h', 1200, 1), QList<int>{0x4178});
    QCOMPARE(server->values(1, 'h', 2199, 1), QList<int>{0x785A});
    QCOMPARE(server->ask(u"trace on"_s), u"ok"_s);
    from = int(server->lines().size());
    QCOMPARE(link.readVarString(rec, 2000, s), 0);
    QCOMPARE(s, full);
    QCOMPARE(server->ask(u"trace on"_s), u"ok"_s);
    QCOMPARE(server->linesMatching(u"^read unit=1 area=h addr=\\d+ count=125$"_s, from).size(), 8);

    // Reading stops with the request that brought the NUL; size limits the characters.
    QCOMPARE(link.writeVarString(rec, 6, u"abc"_s), 0);
    QCOMPARE(server->values(1, 'h', 1200, 3), (QList<int>{0x6162, 0x6300, 0x7878}));
    from = int(server->lines().size());
    QCOMPARE(link.readVarString(rec, 2000, s), 0);
    QCOMPARE(s, u"abc"_s);
    QCOMPARE(link.readVarString(rec, 2, s), 0);
    QCOMPARE(s, u"ab"_s);
    QCOMPARE(server->ask(u"trace off"_s), u"ok"_s);
    QCOMPARE(server->linesMatching(u"^read "_s, from),
             (QStringList{u"read unit=1 area=h addr=1200 count=125"_s,
                          u"read unit=1 area=h addr=1200 count=1"_s}));

    // What the PLC program wrote, with a NUL and leftovers behind it.
    QList<int> plc = registersOf(QByteArray("hello\0junk", 10));
    QVERIFY(server->set(1, 'h', 200, plc));
    QCOMPARE(link.readVarString(send, 2000, s), 0);
    QCOMPARE(s, u"hello"_s);
    QCOMPARE(link.writeVarString(send, 0, QString()), 0);
    QCOMPARE(server->values(1, 'h', 200, 1), QList<int>{0});

    // The other byte order: the first character in the low byte.
    QCOMPARE(link.writeVarString(ba, 10, u"abcde"_s), 0);
    QCOMPARE(server->values(1, 'h', 2310, 3), (QList<int>{0x6261, 0x6463, 0x0065}));
    QCOMPARE(link.readVarString(ba, 2000, s), 0);
    QCOMPARE(s, u"abcde"_s);
    QCOMPARE(link.writeVarString(ba, 4, u"xy"_s), 0);
    QCOMPARE(server->values(1, 'h', 2310, 2), (QList<int>{0x7978, 0x0000}));
    QCOMPARE(link.readVarString(ba, 2000, s), 0);
    QCOMPARE(s, u"xy"_s);
}

void TestModbusLink::notificationsByPolling()
{
    Link link(server->portText());
    link.setPollInterval(10);
    const qint32 anford = link.handle(u"K1.anford"_s);
    const qint32 send = link.handle(u"K1.SendData"_s);
    QSignalSpy updates(&link, &KeloLink::connectUpdate);

    // Without a registration nothing is read.
    QCOMPARE(server->ask(u"trace on"_s), u"ok"_s);
    int from = int(server->lines().size());
    QTest::qWait(100);
    QCOMPARE(server->linesMatching(u"^read "_s, from).size(), 0);

    // The current value comes first, after the running handler has returned, with the user.
    int user = 0;
    qint32 notify = 0;
    QCOMPARE(link.connectVar(u"K1.anford"_s, 4, 1, notify, &user), 0);
    QVERIFY(notify != 0);
    QCOMPARE(updates.count(), 0);
    QTRY_COMPARE(updates.count(), 1);
    QCOMPARE(updates[0][0].toInt(), notify);
    QCOMPARE(updates[0][1], QVariant(false));
    QCOMPARE(updates[0][2].value<void *>(), static_cast<void *>(&user));

    // The PLC raises the flag; the owner resets it and the PLC raises it again before the
    // next read: each true comes through.
    QVERIFY(server->set(1, 'c', 0, {1}));
    QTRY_COMPARE(updates.count(), 2);
    QCOMPARE(updates[1][1], QVariant(true));
    QCOMPARE(link.writeVarBool(anford, 2, false), 0);
    QVERIFY(server->set(1, 'c', 0, {1}));
    QTRY_COMPARE(updates.count(), 4);
    QCOMPARE(updates[2][1], QVariant(false));
    QCOMPARE(updates[3][1], QVariant(true));
    QTest::qWait(60);
    QCOMPARE(updates.count(), 4);
    QVERIFY(server->linesMatching(u"^read unit=1 area=c addr=0 count=1$"_s, from).size() > 3);

    // Any type can be registered; a change of a text is reported with the new text.
    int user2 = 0;
    qint32 notify2 = 0;
    QCOMPARE(link.writeVarString(send, 6, u"one"_s), 0);
    QCOMPARE(link.connectVar(u"K1.SendData"_s, 4, 1, notify2, &user2), 0);
    QTRY_COMPARE(updates.count(), 5);
    QCOMPARE(updates[4][1], QVariant(u"one"_s));
    QVERIFY(server->set(1, 'h', 200, registersOf("two")));
    QTRY_COMPARE(updates.count(), 6);
    QCOMPARE(updates[5][0].toInt(), notify2);
    QCOMPARE(updates[5][1], QVariant(u"two"_s));
    QCOMPARE(updates[5][2].value<void *>(), static_cast<void *>(&user2));

    // A registration given up before its events were delivered gets none; without any
    // registration the reading stops.
    QVERIFY(server->set(1, 'c', 0, {0}));
    QCOMPARE(link.disconnectVar(notify), 0);
    QCOMPARE(link.disconnectVar(notify2), 0);
    QCOMPARE(link.disconnectVar(notify), qint32(ModbusLink::InvalidHandle));
    const qsizetype seen = updates.count();
    QTest::qWait(30);
    from = int(server->lines().size());
    QTest::qWait(100);
    QCOMPARE(server->linesMatching(u"^read "_s, from).size(), 0);
    QCOMPARE(updates.count(), seen);
}

void TestModbusLink::exceptionsKeepTheConnection()
{
    Link link(server->portText());
    QSignalSpy states(&link, &KeloLink::stateChanged);
    const qint32 anford = link.handle(u"K1.anford"_s);
    const qint32 rec = link.handle(u"K1.RecData"_s);
    bool b = false;
    for (const auto &[exception, code] :
         {std::pair{6, ModbusLink::DeviceBusy}, std::pair{2, ModbusLink::IllegalAddress},
          std::pair{4, ModbusLink::DeviceFailure}, std::pair{11, ModbusLink::GatewayTarget}}) {
        QCOMPARE(server->ask(u"fail %1 1"_s.arg(exception)), u"ok"_s);
        QCOMPARE(link.readVarBool(anford, 2, b), qint32(code));
        QCOMPARE(link.readVarBool(anford, 2, b), 0);
    }
    // A refused part of a long write ends the write there.
    QCOMPARE(server->ask(u"fail 6 1"_s), u"ok"_s);
    QCOMPARE(link.writeVarString(rec, 4000, QString(2000, u'q')), qint32(ModbusLink::DeviceBusy));
    QCOMPARE(server->values(1, 'h', 1200, 1), QList<int>{0});
    QCOMPARE(link.writeVarString(rec, 4000, QString(2000, u'q')), 0);

    // Registration on a busy PLC fails with the exception; polling skips a busy round.
    int user = 0;
    qint32 notify = 0;
    QCOMPARE(server->ask(u"fail 6 1"_s), u"ok"_s);
    QCOMPARE(link.connectVar(u"K1.anford"_s, 4, 1, notify, &user), qint32(ModbusLink::DeviceBusy));
    QCOMPARE(notify, 0);
    QSignalSpy updates(&link, &KeloLink::connectUpdate);
    link.setPollInterval(10);
    QCOMPARE(link.connectVar(u"K1.anford"_s, 4, 1, notify, &user), 0);
    QTRY_COMPARE(updates.count(), 1);
    QCOMPARE(server->ask(u"fail 6 3"_s), u"ok"_s);
    QVERIFY(server->set(1, 'c', 0, {1}));
    QTRY_COMPARE(updates.count(), 2);
    QCOMPARE(updates[1][1], QVariant(true));
    QCOMPARE(link.linkState(), State::Connected);
    QTest::qWait(50);
    QCOMPARE(states.count(), 0);
}

void TestModbusLink::lostConnectionComesBackAsStateChange()
{
    // A PLC that is not there at the first operation: refused at once, then found by the link.
    const quint16 port = server->port();
    server->kill();
    Link link(QString::number(port));
    QSignalSpy states(&link, &KeloLink::stateChanged);
    QSignalSpy linkStates(&link, &ModbusLink::linkStateChanged);
    qint32 h = -1;
    QVERIFY(timed([&] {
                QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), qint32(ModbusLink::NotConnected));
            }) < Bound);
    QCOMPARE(link.linkState(), State::Down);
    QVERIFY(server->restart());
    QTRY_COMPARE(states.count(), 1);
    QCOMPARE(states[0][0].toInt(), 5);
    QCOMPARE(link.linkState(), State::Connected);
    const qint32 anford = link.handle(u"K1.anford"_s);
    QVERIFY(anford != 0);

    // The PLC closes the connection between requests.
    QCOMPARE(server->ask(u"drop"_s), u"dropped 1"_s);
    QTRY_COMPARE(states.count(), 2);
    QCOMPARE(states[1][1].toInt(), 2);
    bool b = true;
    QCOMPARE(link.readVarBool(anford, 2, b), 0);
    QCOMPARE(b, false);

    // The PLC goes away: the link notices without a request and fails at once meanwhile.
    server->kill();
    QTRY_COMPARE(link.linkState(), State::Down);
    QVERIFY(timed([&] { QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::NotConnected)); }) <
            Bound / 3);
    QVERIFY(server->restart());
    QTRY_COMPARE(states.count(), 3);
    QCOMPARE(link.readVarBool(anford, 2, b), 0);

    // A garbled answer gives up the connection, which comes back.
    QCOMPARE(server->ask(u"garble 1"_s), u"ok"_s);
    QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::ProtocolError));
    QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::NotConnected));
    QTRY_COMPARE(states.count(), 4);
    QCOMPARE(link.readVarBool(anford, 2, b), 0);
    QVERIFY(linkStates.count() >= 8);
}

void TestModbusLink::hungPlcCostsOneBoundedWait()
{
    Link link(server->portText());
    QSignalSpy states(&link, &KeloLink::stateChanged);
    const qint32 anford = link.handle(u"K1.anford"_s);
    bool b = false;

    // Slow answers within the bound are fine.
    QCOMPARE(server->ask(u"delay 100"_s), u"ok"_s);
    QVERIFY(timed([&] { QCOMPARE(link.readVarBool(anford, 2, b), 0); }) >= 90);
    QCOMPARE(server->ask(u"delay 0"_s), u"ok"_s);

    // A PLC that stops answering without closing the connection: one wait of the bound,
    // then every call fails at once, with the same code, until the PLC answers again.
    QCOMPARE(server->ask(u"mute -1"_s), u"ok"_s);
    const qint64 first =
        timed([&] { QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::Timeout)); });
    QVERIFY2(first >= Bound - 20 && first < 2 * Bound, qPrintable(QString::number(first)));
    qint64 later = 0;
    for (int i = 0; i < 20; ++i)
        later += timed([&] { QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::Timeout)); });
    QVERIFY2(later < Bound / 3, qPrintable(QString::number(later)));

    // Meanwhile the link keeps trying without ever holding up the event loop.
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, worstGap = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] {
        worstGap = qMax(worstGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    tick.start(5);
    QSignalSpy linkStates(&link, &ModbusLink::linkStateChanged);
    QTest::qWait(1500);
    tick.stop();
    // A blocking attempt would show as a gap of the whole bound.
    QVERIFY2(worstGap < Bound / 2, qPrintable(QString::number(worstGap)));
    QVERIFY(linkStates.count() >= 2); // connecting, down, ...
    QCOMPARE(states.count(), 0);
    QCOMPARE(link.readVarBool(anford, 2, b), qint32(ModbusLink::Timeout));

    QCOMPARE(server->ask(u"mute 0"_s), u"ok"_s);
    QTRY_COMPARE(states.count(), 1);
    QCOMPARE(link.readVarBool(anford, 2, b), 0);

    // A frozen PLC process, noticed by the polling of a registration: the polling pays the
    // wait, the owner's calls fail at once.
    int user = 0;
    qint32 notify = 0;
    QCOMPARE(link.connectVar(u"K1.anford"_s, 4, 1, notify, &user), 0);
    server->pause();
    QTRY_COMPARE(link.linkState() == State::Connected, false);
    QVERIFY(timed([&] { QCOMPARE(link.writeVarBool(anford, 2, true), qint32(ModbusLink::Timeout)); }) <
            Bound / 3);
    server->pause(false);
    QTRY_COMPARE(states.count(), 2);
    QCOMPARE(link.writeVarBool(anford, 2, true), 0);
}

void TestModbusLink::restartDuringARequest()
{
    Link link(server->portText());
    link.setCallTimeout(5000);
    QSignalSpy states(&link, &KeloLink::stateChanged);
    const qint32 rec = link.handle(u"K1.RecData"_s);
    QVERIFY(rec != 0);
    QCOMPARE(server->ask(u"delay 150"_s), u"ok"_s);
    // The link's call holds this thread, so the PLC is switched off from another one.
    const pid_t pid = pid_t(server->pid());
    std::thread off([pid] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        ::kill(pid, SIGKILL);
    });
    qint32 code = 0;
    const qint64 took = timed([&] { code = link.writeVarString(rec, 4000, QString(2000, u'r')); });
    off.join();
    QCOMPARE(code, qint32(ModbusLink::NotConnected));
    // Nine requests of 150 ms each would take 1350 ms: the write ended with the connection.
    QVERIFY2(took < 1000, qPrintable(QString::number(took)));
    QCOMPARE(link.linkState() == State::Connected, false);
    QVERIFY(server->restart());
    QTRY_COMPARE(states.count(), 1);
    QCOMPARE(link.writeVarString(rec, 4000, QString(2000, u'r')), 0);
}

void TestModbusLink::targets()
{
    // IPv6; and a new target while connected is taken up at once, as a reconnection.
    ModbusServerProcess v6;
    QVERIFY(v6.start({u"--host"_s, u"::1"_s}));
    QVERIFY(v6.set(1, 'c', 0, {1}));
    Link link(v6.portText());
    link.setNetId(u"::1"_s);
    const qint32 anford = link.handle(u"K1.anford"_s);
    bool b = false;
    QCOMPARE(link.readVarBool(anford, 2, b), 0);
    QCOMPARE(b, true);
    QSignalSpy states(&link, &KeloLink::stateChanged);
    link.setNetId(u"127.0.0.1"_s);
    link.setPort(server->portText());
    QTRY_COMPARE(states.count(), 1);
    QCOMPARE(link.readVarBool(anford, 2, b), 0);
    QCOMPARE(b, false);
}

QTEST_MAIN(TestModbusLink)
#include "TestModbusLink.moc"
