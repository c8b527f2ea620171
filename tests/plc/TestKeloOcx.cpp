// The PLC link against the real runtime stand-in on loopback, and against a scripted runtime
// that misbehaves.
#include "PlcSimProcess.h"
#include "plc/KeloOcx.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace plcproto;
using namespace Qt::StringLiterals;
using Step = std::function<QByteArray(const Message &)>;
Q_DECLARE_METATYPE(Step)

namespace
{

constexpr int Bound = 300;
const QStringList K1{u"--module"_s, u"K1"_s};

// A link with short time-outs to a runtime on this machine.
struct Link : KeloOcx {
    explicit Link(const QString &port, int reconnectDelay = 20)
    {
        setCallTimeout(Bound);
        setReconnectDelay(reconnectDelay);
        setPort(port);
    }
};

// A runtime on a thread of its own (the link's calls block this one) that answers the requests
// of the first connection to `port` as the steps say; a step returning "close" closes the
// connection. It ends when the link closes the connection, so the link must go first.
std::jthread scriptedRuntime(std::vector<Step> steps, QString &port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(sa);
    ::bind(listener, reinterpret_cast<sockaddr *>(&sa), len);
    ::listen(listener, 4);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len);
    port = QString::number(ntohs(sa.sin_port));
    return std::jthread([listener, steps = std::move(steps)] {
        const int fd = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        FrameReader reader;
        QByteArray body, out;
        char buf[4096];
        ssize_t n = 1;
        for (auto step = steps.begin(); step != steps.end() && out != "close" && n > 0;) {
            if (reader.next(body) == FrameReader::Frame) {
                out = (*step++)(decode(body).value_or(Message{}));
                if (out != "close")
                    ::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL);
            } else if ((n = ::recv(fd, buf, sizeof(buf), 0)) > 0) {
                reader.append(buf, n);
            }
        }
        // Out of steps: stay connected and silent.
        while (out != "close" && ::recv(fd, buf, sizeof(buf), 0) > 0) {
        }
        ::close(fd);
    });
}

// A reply of the given type to the request (handle 77 for CreateHandle, false for Read), its
// sequence shifted by seqShift, its last byte (a Read reply's BOOL byte) replaced if given.
Step reply(MsgType type, quint32 seqShift = 0, char lastByte = 0)
{
    return [=](const Message &req) {
        Message r;
        r.type = type;
        r.reply = true;
        r.seq = req.seq + seqShift;
        r.handle = 77;
        QByteArray frame = encode(r);
        if (lastByte)
            frame.back() = lastByte;
        return frame;
    };
}

// The program states a spy on stateChanged saw, in order.
QList<int> seen(const QSignalSpy &states)
{
    QList<int> out;
    for (const QList<QVariant> &args : states)
        out << args[0].toInt();
    return out;
}

} // namespace

class TestKeloOcx : public QObject
{
    Q_OBJECT

private slots:
    void everyOperationAndCode()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start({u"--module"_s, u"Line1"_s}));
        Link link(sim.portText());

        qint32 hUnknown = -1, hAnford = 0, hSend = 0, hStatus = 0, hErr = 0, hText = 0;
        QCOMPARE(link.createVarHandle(u"Line1.nothing"_s, hUnknown), UnknownSymbol);
        QCOMPARE(hUnknown, 0);
        QCOMPARE(link.linkState(), KeloOcx::LinkState::Connected);
        // Symbol names do not depend on letter case.
        QCOMPARE(link.createVarHandle(u"line1.senddata"_s, hSend), Ok);
        QCOMPARE(link.createVarHandle(u"Line1.ConnectStatus"_s, hStatus), Ok);
        QCOMPARE(link.createVarHandle(u"Line1.anfordErr"_s, hErr), Ok);
        QCOMPARE(link.createVarHandle(u"LINE1.anfordErrText"_s, hText), Ok);
        QCOMPARE(link.createVarHandle(u"Line1.anford"_s, hAnford), Ok);
        QVERIFY(hAnford != 0 && hSend != 0 && hAnford != hSend && hStatus != hErr);

        // A call must not run queued events: nothing else may happen inside the gateway's handler.
        bool timerRan = false, flag = true;
        QTimer::singleShot(0, this, [&] { timerRan = true; });
        QCOMPARE(link.readVarBool(hAnford, 2, flag), Ok);
        QCOMPARE(flag, false);
        QCOMPARE(link.writeVarBool(hAnford, 2, true), Ok);
        QCOMPARE(link.readVarBool(hAnford, 2, flag), Ok);
        QCOMPARE(flag, true);
        QVERIFY(!timerRan);
        QTRY_VERIFY(timerRan);

        // Strings: the length counts two bytes per character and may cut the text; texts travel in
        // the plants' code page.
        QString text;
        const auto written = [&](qint32 h, int length, const QString &in) {
            const qint32 code = link.writeVarString(h, length, in);
            return code == Ok && link.readVarString(h, 2000, text) == Ok ? text : QString::number(code);
        };
        QCOMPARE(written(hSend, 10, u"hello"_s), u"hello"_s);
        QCOMPARE(written(hSend, 6, u"hello"_s), u"hel"_s);
        QCOMPARE(link.readVarString(hSend, 2, text), Ok);
        QCOMPARE(text, u"he"_s);
        QCOMPARE(written(hSend, 8, u"\u20ac\u00e4\u00df\u4e2d"_s), u"\u20ac\u00e4\u00df?"_s);
        const QString full(2000, u'x'), longest(255, u'z');
        QCOMPARE(written(hSend, 4000, full), full);
        QCOMPARE(written(hText, 510, longest), longest);
        // Too long for the variable: refused, and the variable keeps its value.
        QCOMPARE(link.writeVarString(hSend, 4002, full + u'y'), ValueTooLong);
        QCOMPARE(link.writeVarString(hText, 512, longest + u'y'), ValueTooLong);
        QCOMPARE(link.readVarString(hSend, 2000, text), Ok);
        QCOMPARE(text, full);

        // Types must fit (an INT value fits a DINT), sizes must be acceptable; refused writes change
        // nothing.
        QCOMPARE(link.writeVarInt(hStatus, 2, qint16(-7)), Ok);
        QCOMPARE(link.writeVarInt(hErr, 2, qint16(9)), Ok);
        QCOMPARE(link.writeVarLong(hErr, 4, -123456789), Ok);
        const QList<qint32> wrongType{link.writeVarLong(hStatus, 4, 1), link.readVarBool(hSend, 2, flag),
                                      link.readVarString(hAnford, 2000, text),
                                      link.writeVarBool(hStatus, 2, true),
                                      link.writeVarString(hAnford, 2, u"x"_s)};
        QCOMPARE(wrongType, QList<qint32>(5, WrongType));
        const QList<qint32> badSize{
            link.readVarBool(hAnford, 0, flag),     link.readVarString(hSend, 0, text),
            link.writeVarLong(hErr, 2, 1),          link.writeVarInt(hStatus, 1, 1),
            link.writeVarBool(hAnford, 0, true),    link.writeVarString(hSend, 3, u"ab"_s),
            link.writeVarString(hSend, -2, u"ab"_s)};
        QCOMPARE(badSize, QList<qint32>(7, InvalidSize));
        Value v;
        QCOMPARE(link.readValue(hStatus, v), Ok);
        QCOMPARE(v.number, -7);
        QCOMPARE(link.readValue(hErr, v), Ok);
        QCOMPARE(v.number, -123456789);

        // Handles after delete, notifications that do not exist.
        QCOMPARE(link.deleteVarHandle(hText), Ok);
        const QList<qint32> invalid{link.writeVarString(hText, 2, u"a"_s), link.deleteVarHandle(hText),
                                    link.readVarBool(123456, 2, flag), link.disconnectVar(98765)};
        QCOMPARE(invalid, QList<qint32>(4, InvalidHandle));
        qint32 notify = -1;
        QCOMPARE(link.connectVar(u"Line1.nothing"_s, 4, 1, notify, nullptr), UnknownSymbol);
        QCOMPARE(notify, 0);
        QCOMPARE(link.connectVar(u"Line1.antwort"_s, 4, 1, notify, nullptr), Ok);
        QCOMPARE(link.disconnectVar(notify), Ok);
        QCOMPARE(link.disconnectVar(notify), InvalidHandle);

        // The settings dialog is the window's: without it the call says so.
        QCOMPARE(link.showProperties(), NoPropertiesHandler);
        int shown = 0;
        link.setPropertiesHandler([&] { ++shown; });
        QCOMPARE(link.showProperties(), Ok);
        QCOMPARE(shown, 1);

        // Release ends the connection and every handle; the next call connects anew, and the runtime
        // kept the values.
        QCOMPARE(link.releaseLink(), Ok);
        QCOMPARE(link.linkState(), KeloOcx::LinkState::Idle);
        QCOMPARE(link.readVarBool(hAnford, 2, flag), InvalidHandle);
        QCOMPARE(link.linkState(), KeloOcx::LinkState::Connected);
        qint32 again = 0;
        QCOMPARE(link.createVarHandle(u"Line1.anford"_s, again), Ok);
        QVERIFY(again != hAnford);
        QCOMPARE(link.readVarBool(again, 2, flag), Ok);
        QCOMPARE(flag, true);
    }

    void notificationsAndProgramState()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start(K1));
        Link gateway(sim.portText()), plc(sim.portText()); // plc: a second client playing the PLC program
        QSignalSpy updates(&gateway, &KeloLink::connectUpdate), states(&gateway, &KeloLink::stateChanged);
        const auto update = [](qint32 notify, const QVariant &value, void *user = nullptr) {
            return QVariantList{notify, value, QVariant::fromValue(user)};
        };

        int record = 0;
        qint32 notify = 0, nText = 0, hPlc = 0, hOwn = 0, h = 0;
        QCOMPARE(gateway.connectVar(u"K1.anford"_s, 4, 1, notify, &record), Ok);
        // The current value comes first, after the call, with the user object of the registration.
        QVERIFY(updates.isEmpty());
        QTRY_COMPARE(updates.value(0), update(notify, false, &record));
        QCOMPARE(plc.createVarHandle(u"K1.anford"_s, hPlc), Ok);
        QCOMPARE(plc.writeVarBool(hPlc, 2, true), Ok);
        QTRY_COMPARE(updates.value(1), update(notify, true, &record));
        // Writing the same value is no change; the next change is.
        QCOMPARE(plc.writeVarBool(hPlc, 2, true), Ok);
        QCOMPARE(plc.writeVarBool(hPlc, 2, false), Ok);
        QTRY_COMPARE(updates.value(2), update(notify, false, &record));

        // A notification arriving during a call of the gateway waits for the handler to return.
        bool flag = false;
        QCOMPARE(gateway.createVarHandle(u"K1.anford"_s, hOwn), Ok);
        QCOMPARE(gateway.writeVarBool(hOwn, 2, true), Ok);
        QCOMPARE(gateway.readVarBool(hOwn, 2, flag), Ok);
        QCOMPARE(updates.size(), 3);
        QTRY_COMPARE(updates.value(3), update(notify, true, &record));

        // Strings come as their values; the console of the runtime is a writer too.
        QCOMPARE(gateway.connectVar(u"K1.SendData"_s, 4, 1, nText, nullptr), Ok);
        QTRY_COMPARE(updates.value(4), update(nText, QString()));
        sim.command(u"set K1.SendData line\\none"_s);
        QTRY_COMPARE(updates.value(5), update(nText, u"line\none"_s));
        // After disconnectVar nothing more arrives for it.
        QCOMPARE(gateway.disconnectVar(notify), Ok);
        QCOMPARE(plc.writeVarBool(hPlc, 2, false), Ok);
        sim.command(u"set K1.SendData last"_s);
        QTRY_COMPARE(updates.value(6), update(nText, u"last"_s));

        // A stopped program refuses access; its start forgets every handle and notification.
        sim.command(u"stop"_s);
        QTRY_COMPARE(seen(states), QList<int>{StateStop});
        QCOMPARE(gateway.readVarBool(hOwn, 2, flag), ProgramStopped);
        QCOMPARE(gateway.createVarHandle(u"K1.antwort"_s, h), ProgramStopped);
        sim.command(u"start"_s);
        QTRY_COMPARE(seen(states), (QList<int>{StateStop, StateRun}));
        QCOMPARE(gateway.readVarBool(hOwn, 2, flag), InvalidHandle);
        QCOMPARE(gateway.disconnectVar(nText), InvalidHandle);
        QCOMPARE(gateway.createVarHandle(u"K1.antwort"_s, h), Ok);
        // A restart requested by another client reaches every client.
        QCOMPARE(plc.controlProgram(ControlRestart), Ok);
        QTRY_COMPARE(seen(states), (QList<int>{StateStop, StateRun, StateStop, StateRun}));
        QCOMPARE(gateway.readVarBool(h, 2, flag), InvalidHandle);
        QCOMPARE(updates.size(), 7);
    }

    void runtimeLostAndBack()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start(K1));
        Link link(sim.portText()), late(sim.portText());
        QSignalSpy states(&link, &KeloLink::stateChanged), lateStates(&late, &KeloLink::stateChanged);
        QSignalSpy linkStates(&link, &KeloOcx::linkStateChanged);
        qint32 h = 0;
        bool flag = false;
        QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), Ok);

        // An idle link notices a runtime that stopped answering by itself.
        sim.pause();
        QTRY_COMPARE_WITH_TIMEOUT(link.linkState(), KeloOcx::LinkState::Down, 5000);
        sim.pause(false);
        QTRY_COMPARE_WITH_TIMEOUT(seen(states), QList<int>{StateRun}, 5000);
        QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), Ok);
        states.clear();

        sim.pause();
        QElapsedTimer t;
        t.start();
        QCOMPARE(link.readVarBool(h, 2, flag), Timeout);
        QVERIFY(t.elapsed() < 5 * Bound); // loose: only a hang is a fault
        QCOMPARE(link.linkState(), KeloOcx::LinkState::Down);
        // While the link is down calls fail at once instead of waiting again.
        t.restart();
        QCOMPARE(link.readVarBool(h, 2, flag), NotConnected);
        QVERIFY(t.elapsed() < Bound);
        // Reconnection attempts meet a runtime that accepts but never answers.
        QTest::qWait(3 * Bound);
        QVERIFY(link.linkState() != KeloOcx::LinkState::Connected);
        QCOMPARE(states.size(), 0);
        sim.pause(false);
        QTRY_COMPARE_WITH_TIMEOUT(seen(states), QList<int>{StateRun}, 5000);
        QCOMPARE(link.linkState(), KeloOcx::LinkState::Connected);
        QCOMPARE(link.readVarBool(h, 2, flag), InvalidHandle);
        QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), Ok);
        states.clear();

        // A killed runtime is noticed without any call of the gateway.
        sim.kill();
        QTRY_COMPARE(link.linkState(), KeloOcx::LinkState::Down);
        QCOMPARE(link.readVarBool(h, 2, flag), NotConnected);
        // Nobody listens: a first call is refused at once, and that link retries in the background too.
        QCOMPARE(late.createVarHandle(u"K1.anford"_s, h), NotConnected);
        QCOMPARE(late.linkState(), KeloOcx::LinkState::Down);
        QTest::qWait(200);
        QCOMPARE(states.size() + lateStates.size(), 0);
        // A runtime that appears later is found by the links themselves; the owner learns it by state 5.
        PlcSimProcess restarted;
        QVERIFY(restarted.start(K1, sim.port()));
        QTRY_COMPARE_WITH_TIMEOUT(seen(states), QList<int>{StateRun}, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(seen(lateStates), QList<int>{StateRun}, 5000);
        QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), Ok);
        QCOMPARE(late.createVarHandle(u"K1.anford"_s, h), Ok);
        QVERIFY(!linkStates.isEmpty());
        QCOMPARE(linkStates.last()[0].value<KeloOcx::LinkState>(), KeloOcx::LinkState::Connected);

        // Changing the target moves the link to the new runtime.
        PlcSimProcess second;
        QVERIFY(second.start({u"--module"_s, u"K2"_s}));
        link.setPort(second.portText());
        QTRY_COMPARE_WITH_TIMEOUT(seen(states), (QList<int>{StateRun, StateRun}), 5000);
        QCOMPARE(link.createVarHandle(u"K2.anford"_s, h), Ok);
        QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), UnknownSymbol);
    }

    void targets()
    {
        qint32 h = 0;
        KeloOcx link;
        link.setNetId(u"plc.example"_s); // host names are not resolved
        QCOMPARE(link.createVarHandle(u"a"_s, h), InvalidTarget);

        QHostAddress address;
        quint16 port = 0;
        // Empty texts mean this workstation and the default port; a six-part net id names an IPv4 address.
        for (const auto &[netId, portText, ip, number] : {std::tuple{"", "", "127.0.0.1", DefaultPort},
                                                          {"192.168.1.20.1.1", " 851 ", "192.168.1.20", 851},
                                                          {"::1", "1", "::1", 1}}) {
            QVERIFY(KeloOcx::parseTarget(QString::fromLatin1(netId), QString::fromLatin1(portText), address,
                                         port));
            QCOMPARE(address, QHostAddress(QString::fromLatin1(ip)));
            QCOMPARE(port, number);
        }
        for (const char *bad : {"1.2.3|", "|0", "|12ab", "|70000"}) {
            const QStringList parts = QString::fromLatin1(bad).split(u'|');
            QVERIFY2(!KeloOcx::parseTarget(parts[0], parts[1], address, port), bad);
        }
    }

    void misbehavingRuntime_data()
    {
        QTest::addColumn<bool>("greeted"); // the bad answer comes after a proper greeting and handle
        QTest::addColumn<Step>("bad");
        QTest::addColumn<int>("expected");
        const auto bytes = [](const QByteArray &raw) { return Step([raw](const Message &) { return raw; }); };
        QTest::newRow("garbage instead of the greeting")
            << false << bytes(QByteArray("\x00\x00\x00\x07\x33\x00\x00\x00\x01zz", 11)) << int(ProtocolError);
        QTest::newRow("oversized frame") << false << bytes("\x7f\xff\xff\xff") << int(ProtocolError);
        QTest::newRow("closed during the greeting") << false << bytes("close") << int(NotConnected);
        QTest::newRow("silent") << false << bytes({}) << int(Timeout);
        QTest::newRow("invalid BOOL byte") << true << reply(MsgType::Read, 0, 7) << int(ProtocolError);
        QTest::newRow("reply of another type") << true << reply(MsgType::Write) << int(ProtocolError);
        QTest::newRow("reply to another request") << true << reply(MsgType::Read, 1000) << int(Timeout);
        QTest::newRow("closed mid-call") << true << bytes("close") << int(NotConnected);
        QTest::newRow("half a frame") << true << bytes(QByteArray("\x00\x00\x00\x20\x44", 5)) << int(Timeout);
    }

    void misbehavingRuntime()
    {
        QFETCH(bool, greeted);
        QFETCH(Step, bad);
        QFETCH(int, expected);
        QString port;
        const std::vector<Step> steps{reply(MsgType::Hello), reply(MsgType::CreateHandle), bad};
        const std::jthread runtime = scriptedRuntime(greeted ? steps : std::vector<Step>{bad}, port);
        Link link(port, 5000);
        qint32 h = 0;
        bool flag = false;
        QElapsedTimer t;
        t.start();
        qint32 code = link.createVarHandle(u"K1.anford"_s, h);
        if (greeted) {
            QCOMPARE(code, Ok);
            code = link.readVarBool(h, 2, flag);
        }
        QCOMPARE(code, expected);
        QVERIFY(t.elapsed() < 5 * Bound);
        QCOMPARE(link.linkState(), KeloOcx::LinkState::Down);
    }
};

QTEST_GUILESS_MAIN(TestKeloOcx)
#include "TestKeloOcx.moc"
