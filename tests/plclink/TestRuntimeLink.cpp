// The PLC link against the real runtime stand-in on loopback.
#include "GatewayProcess.h"
#include "PlcSimProcess.h"
#include "common/EventSink.h"
#include "plclink/RuntimeLink.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using namespace plcproto;
using namespace Qt::StringLiterals;

namespace
{

constexpr int Bound = 300;
const QStringList K1{u"--module"_s, u"K1"_s};

// A link with short time-outs to a runtime on this machine.
struct Link : RuntimeLink {
    explicit Link(const QString &port, EventSink *events = nullptr) : RuntimeLink(events)
    {
        setCallTimeout(Bound);
        setReconnectDelay(20);
        setPort(port);
    }
};

struct RecordingEvents : EventSink {
    QStringList entries;
    void event(EventType, const QString &text) override { entries << text; }
    bool rawEvent(EventType, const QString &text, QString *) override { return entries << text, true; }
};

} // namespace

class TestRuntimeLink : public QObject
{
    Q_OBJECT

private slots:
    void callsNotificationsAndProgramState()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start(K1));
        QList<int> states; // the program states the link reported, in order
        Link link(sim.portText());
        QSignalSpy updates(&link, &PlcLink::connectUpdate);
        connect(&link, &PlcLink::stateChanged, this, [&](qint32 state) { states << state; });
        const auto update = [](qint32 notify, const QVariant &value, void *user = nullptr) {
            return QVariantList{notify, value, QVariant::fromValue(user)};
        };

        qint32 hUnknown = -1, nUnknown = -1, hAnford = 0, hSend = 0, hStatus = 0, hErr = 0, hText = 0, h = 0,
               notify = 0, nText = 0;
        QCOMPARE(link.createVarHandle(u"K1.nothing"_s, hUnknown), UnknownSymbol);
        QCOMPARE(link.connectVar(u"K1.nothing"_s, 4, 1, nUnknown, nullptr), UnknownSymbol);
        QCOMPARE(std::pair(hUnknown, nUnknown), std::pair(0, 0));
        // Symbol names do not depend on letter case.
        QCOMPARE(link.createVarHandle(u"k1.senddata"_s, hSend), Ok);
        QCOMPARE(link.createVarHandle(u"K1.ConnectStatus"_s, hStatus), Ok);
        QCOMPARE(link.createVarHandle(u"K1.anfordErr"_s, hErr), Ok);
        QCOMPARE(link.createVarHandle(u"k1.ANFORDERRTEXT"_s, hText), Ok);
        QCOMPARE(link.createVarHandle(u"K1.anford"_s, hAnford), Ok);

        // The current value comes first, after the call, with the user object of the registration;
        // writing the same value is no change, the next change is.
        int record = 0;
        QCOMPARE(link.connectVar(u"K1.anford"_s, 4, 1, notify, &record), Ok);
        QVERIFY(updates.isEmpty());
        QTRY_COMPARE(updates.value(0), update(notify, false, &record));
        for (const char *value : {"true", "true", "false"})
            sim.command(u"set K1.anford "_s + QLatin1String(value));
        QTRY_COMPARE(updates.value(2), update(notify, false, &record));
        QCOMPARE(updates.value(1), update(notify, true, &record));

        // A call must not run queued events, nor deliver a notification arriving during it: nothing
        // else may happen inside the gateway's handler.
        bool timerRan = false, flag = false;
        QTimer::singleShot(0, this, [&] { timerRan = true; });
        QCOMPARE(link.writeVarBool(hAnford, 2, true), Ok);
        QCOMPARE(link.readVarBool(hAnford, 2, flag), Ok);
        QVERIFY(flag && !timerRan);
        // The gateway's calls (through PlcLink) give the sizes of its variables themselves.
        PlcLink &gateway = link;
        QVERIFY(gateway.readVarBool(hAnford, flag) == Ok && flag);
        QCOMPARE(updates.size(), 3);
        QTRY_COMPARE(updates.value(3), update(notify, true, &record));

        // Strings: the length counts two bytes per character and may cut the text; texts travel in
        // the plants' code page. Too long for the variable: refused, the variable keeps its value.
        QString text;
        const auto written = [&](qint32 h, int length, const QString &in) {
            const qint32 code = link.writeVarString(h, length, in);
            return code == Ok && link.readVarString(h, 2000, text) == Ok ? text : QString::number(code);
        };
        QCOMPARE(written(hSend, 6, u"hello"_s), u"hel"_s);
        QCOMPARE(written(hSend, 8, u"\u20ac\u00e4\u00df\u4e2d"_s), u"\u20ac\u00e4\u00df?"_s);
        const QString full(2000, u'x');
        QCOMPARE(written(hSend, 4000, full), full);
        QCOMPARE(link.writeVarString(hSend, 4002, full + u'y'), ValueTooLong);
        QCOMPARE(link.writeVarString(hText, 512, QString(256, u'z')), ValueTooLong);
        QCOMPARE(gateway.writeVarString(hSend, u"hello"_s), Ok); // the whole text
        QVERIFY(link.readVarString(hSend, 2000, text) == Ok && text == u"hello"_s);
        QCOMPARE(gateway.writeVarString(hSend, full), Ok);

        // Numbers in both sizes; sizes the variable does not have are refused by the link.
        Value status, err;
        QVERIFY(link.writeVarInt(hStatus, 2, qint16(-7)) == Ok &&
                link.writeVarLong(hErr, 4, -123456789) == Ok);
        QVERIFY(link.readValue(hStatus, status) == Ok && link.readValue(hErr, err) == Ok);
        QCOMPARE(std::pair(status.number, err.number), std::pair(-7, -123456789));
        QVERIFY(gateway.writeVarInt(hStatus, qint16(-8)) == Ok &&
                gateway.writeVarLong(hErr, 987654321) == Ok);
        QVERIFY(link.readValue(hStatus, status) == Ok && link.readValue(hErr, err) == Ok);
        QCOMPARE(std::pair(status.number, err.number), std::pair(-8, 987654321));
        QCOMPARE(link.writeVarLong(hErr, 2, 1), InvalidSize);
        QCOMPARE(link.writeVarString(hSend, 3, u"ab"_s), InvalidSize);

        // Strings come as their values (SendData kept its value after the refused write); after
        // disconnectVar nothing more arrives for that notification.
        QCOMPARE(gateway.connectVar(u"K1.SendData"_s, nText, nullptr), Ok);
        QTRY_COMPARE(updates.value(4), update(nText, full));
        QCOMPARE(link.disconnectVar(notify), Ok);
        sim.command(u"set K1.anford false"_s);
        sim.command(u"set K1.SendData line\\none"_s);
        QTRY_COMPARE(updates.value(5), update(nText, u"line\none"_s));

        // Handles after delete, notifications that do not exist.
        QCOMPARE(link.deleteVarHandle(hText), Ok);
        QCOMPARE(link.writeVarString(hText, 2, u"a"_s), InvalidHandle);
        QCOMPARE(link.disconnectVar(notify), InvalidHandle);

        // The program's stop and start reach the owner as state changes; the start forgot the handles.
        sim.command(u"stop"_s);
        sim.command(u"start"_s);
        QTRY_COMPARE(states, (QList<int>{StateStop, StateRun}));
        QCOMPARE(link.readVarBool(hAnford, 2, flag), InvalidHandle);
        QCOMPARE(link.createVarHandle(u"K1.antwort"_s, h), Ok);

        // Release ends the connection and every handle; the next call connects anew, and the runtime
        // kept the values.
        QCOMPARE(link.releaseLink(), Ok);
        QCOMPARE(link.readVarBool(h, 2, flag), InvalidHandle);
        QCOMPARE(link.createVarHandle(u"K1.SendData"_s, hSend), Ok);
        QCOMPARE(link.readVarString(hSend, 2000, text), Ok);
        QCOMPARE(text, u"line\none"_s);
    }

    void exchangeIsOneRequestOrSingleCallsToAnOlderRuntime()
    {
        for (const QString &version : {u"3"_s, u"2"_s, u"1"_s}) {
            PlcSimProcess sim;
            QVERIFY(sim.start(K1 + QStringList{u"--protocol"_s, version}));
            Link link(sim.portText());
            QList<int> states;
            connect(&link, &PlcLink::stateChanged, this, [&](qint32 state) { states << state; });
            qint32 hStatus = 0, hAnswer = 0, hRec = 0, hText = 0;
            for (const auto &[name, handle] : {std::pair{u"K1.ConnectStatus"_s, &hStatus},
                                               {u"K1.antwort"_s, &hAnswer},
                                               {u"K1.RecData"_s, &hRec},
                                               {u"K1.anfordErrText"_s, &hText}})
                QCOMPARE(link.createVarHandle(name, *handle), Ok);
            QCOMPARE(link.protocolVersion(), version.toUShort());
            // Requests the runtime served so far.
            const auto requests = [&sim] {
                const int from = int(sim.lines().size());
                sim.command(u"stats"_s);
                if (!sim.waitForLine(u"^stats "_s, 5000, from))
                    return -1;
                return sim.linesMatching(u"^stats "_s, from)
                    .first()
                    .section(u'=', 1, 1)
                    .section(u' ', 0, 0)
                    .toInt();
            };
            const int before = requests();

            LinkOp look[] = {LinkOp::writeInt(hStatus, 7), LinkOp::readBool(hAnswer, true)};
            link.exchange(look);
            QCOMPARE(std::pair(look[0].code, look[1].code), std::pair(qint32(Ok), qint32(Ok)));
            QVERIFY(!look[1].flag);
            // Each operation has its own code and a refused one stops nothing after it: too long for
            // the variable (the runtime refuses it), a handle the link does not know (refused at once).
            LinkOp answer[] = {LinkOp::writeString(hText, QString(300, u'e')),
                               LinkOp::writeString(hRec, u"OK 1"_s), LinkOp::readBool(4711, true),
                               LinkOp::writeBool(hAnswer, true), LinkOp::readBool(hAnswer, false)};
            link.exchange(answer);
            QList<qint32> codes;
            for (const LinkOp &op : answer)
                codes << op.code;
            QCOMPARE(codes, (QList<qint32>{ValueTooLong, Ok, InvalidHandle, Ok, Ok}));
            // The read saw the write before it.
            QVERIFY(answer[4].flag && answer[2].flag);
            // One request per exchange, or one per operation that reached the runtime.
            QCOMPARE(requests() - before, version != u"1"_s ? 2 : 2 + 4);
            sim.command(u"get K1.RecData"_s);
            QVERIFY(sim.waitForLine(u"^value K1.RecData=OK 1$"_s));

            // Writes on the condition that a read before them gave false: left out while the flag
            // is set and after a read that failed, carried out once it is free. One request at
            // version 3; split before each condition at 2; single calls at 1.
            const int start = requests();
            LinkOp when[] = {LinkOp::readBool(hAnswer, false),
                             LinkOp::writeString(hRec, u"OK 2"_s).onlyIfReadFalse(0),
                             LinkOp::writeBool(hAnswer, false),
                             LinkOp::readBool(hAnswer, true),
                             LinkOp::writeString(hRec, u"OK 3"_s).onlyIfReadFalse(3),
                             LinkOp::readBool(4711, false),
                             LinkOp::writeBool(hAnswer, true).onlyIfReadFalse(5)};
            link.exchange(when);
            codes.clear();
            for (const LinkOp &op : when)
                codes << op.code;
            QCOMPARE(codes, (QList<qint32>{Ok, NotRun, Ok, Ok, Ok, InvalidHandle, NotRun}));
            QVERIFY(when[0].flag && !when[3].flag && !when[1].ran() && when[4].ran());
            QCOMPARE(requests() - start, version == u"3"_s ? 1 : version == u"2"_s ? 3 : 4);
            const int at = int(sim.lines().size());
            sim.command(u"get K1.RecData"_s);
            sim.command(u"get K1.antwort"_s);
            QVERIFY(sim.waitForLine(u"^value K1.RecData=OK 3$"_s, 5000, at));
            QVERIFY(sim.waitForLine(u"^value K1.antwort=false$"_s, 5000, at));
            QVERIFY(link.isConnected() && states.isEmpty());
        }
    }

    void runtimeCarriesOutOnlyConditionsItKnows()
    {
        using enum MsgType;
        // A raw client: the reply to a frame, or nothing when the runtime dropped the connection.
        const auto ask = [](QTcpSocket &socket, const Message &request) -> std::optional<Message> {
            socket.write(encode(request));
            FrameReader reader;
            QByteArray body;
            while (socket.waitForReadyRead(3000)) {
                const QByteArray in = socket.readAll();
                reader.append(in.constData(), in.size());
                if (reader.next(body) == FrameReader::Frame)
                    return decode(body);
            }
            return std::nullopt;
        };
        BatchOp read, write, onItself, onText;
        read.handle = write.handle = 99;
        write.type = Write;
        write.value = Value::boolean(true);
        write.onlyIfFalse = 0;
        onItself = write;
        onItself.onlyIfFalse = 1;
        onText = read;
        onText.varType = VarType::String;
        // A condition on a read that failed leaves the write out; one that names no earlier BOOL
        // read, or any condition for a runtime of version 2, is a frame the runtime refuses.
        const std::tuple<QString, QList<BatchOp>, bool> cases[] = {{u"3"_s, {read, write}, true},
                                                                   {u"3"_s, {read, onItself}, false},
                                                                   {u"3"_s, {write, write}, false},
                                                                   {u"3"_s, {onText, write}, false},
                                                                   {u"2"_s, {read, write}, false}};
        for (const auto &[version, ops, carried] : cases) {
            PlcSimProcess sim;
            QVERIFY(sim.start(K1 + QStringList{u"--protocol"_s, version}));
            QTcpSocket socket;
            socket.connectToHost(u"127.0.0.1"_s, sim.port());
            QVERIFY(socket.waitForConnected(3000));
            Message request;
            request.type = Hello;
            request.seq = 1;
            request.version = version.toUShort();
            const std::optional<Message> hello = ask(socket, request);
            QVERIFY(hello && hello->code == Ok);
            request.type = Batch;
            request.seq = 2;
            request.ops = ops;
            const std::optional<Message> reply = ask(socket, request);
            QCOMPARE(reply.has_value(), carried);
            if (carried)
                QCOMPARE(std::pair(reply->ops.at(0).code, reply->ops.at(1).code),
                         std::pair(qint32(InvalidHandle), qint32(NotRun)));
        }
    }

    void runtimeLostAndBack()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start(K1));
        QList<int> states; // program states the link reported, in order
        RecordingEvents events;
        Link link(sim.portText(), &events);
        connect(&link, &PlcLink::stateChanged, this, [&](qint32 state) { states << state; });
        qint32 h = 0;
        bool flag = false;
        QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), Ok);

        // An idle link notices by itself a runtime that stopped answering (calls while it is down:
        // see the Modbus link, which shares the connection).
        sim.pause();
        QTRY_COMPARE_WITH_TIMEOUT(link.linkState(), RuntimeLink::LinkState::Down, 5000);
        QCOMPARE(link.readVarBool(h, 2, flag), Timeout);
        QTRY_COMPARE_WITH_TIMEOUT(events.entries.size(), 1, 5000); // a reconnection met the paused runtime
        sim.pause(false);
        QTRY_COMPARE_WITH_TIMEOUT(states, QList<int>{StateRun}, 5000);
        QCOMPARE(link.readVarBool(h, 2, flag), InvalidHandle);

        // A killed runtime is noticed without any call, and gives the no-connection code.
        sim.kill();
        QTRY_COMPARE(link.linkState(), RuntimeLink::LinkState::Down);
        QTRY_COMPARE(link.readVarBool(h, 2, flag), NotConnected);
        QTRY_COMPARE(events.entries.size(), 3);
        // A runtime that appears later is found by the link itself; the owner learns it by state 5.
        PlcSimProcess restarted;
        QVERIFY(restarted.start(K1, sim.port()));
        QTRY_COMPARE_WITH_TIMEOUT(states, (QList<int>(2, StateRun)), 5000);
        QCOMPARE(link.linkState(), RuntimeLink::LinkState::Connected);
        // The event log heard once of each time the runtime could not be reached, with the
        // reason, and once that it was back; not of the connections that were only lost (the
        // texts of a refused connection: see the whole program's test).
        QCOMPARE(events.entries.size(), 4);
        QCOMPARE(events.entries.first(),
                 u"PLC link down: cannot connect to the PLC runtime at 127.0.0.1:%1: "
                 u"connected, but no answer within 300 ms. The link keeps trying."_s.arg(sim.port()));
    }

    // While nothing listens, the link tries again and again, the delay doubling from its first
    // value but never beyond one second: a runtime that comes back is found within a second.
    void reconnectsAtLeastOnceASecond()
    {
        Link link(QString::number(freePort()));
        link.setReconnectDelay(100);
        QElapsedTimer clock;
        QList<qint64> attempts;
        connect(&link, &TargetedLink::linkStateChanged, this, [&](RuntimeLink::LinkState state) {
            if (state == RuntimeLink::LinkState::Connecting)
                attempts << clock.elapsed();
        });
        clock.start();
        qint32 h = 0;
        QCOMPARE(link.createVarHandle(u"K1.anford"_s, h), NotConnected);
        // Attempts after 0.1, 0.3, 0.7, 1.5, 2.5, 3.5, 4.5 and 5.5 s.
        QTest::qWait(6000);
        QVERIFY2(attempts.size() >= 7, qPrintable(QString::number(attempts.size())));
        for (qsizetype i = 4; i < attempts.size(); ++i)
            QVERIFY2(attempts[i] - attempts[i - 1] < 1500,
                     qPrintable(QString::number(attempts[i] - attempts[i - 1])));
    }

    void targets()
    {
        qint32 h = 0;
        RecordingEvents events;
        RuntimeLink link(&events);
        link.setNetId(u"plc.example"_s); // host names are not resolved
        QCOMPARE(link.createVarHandle(u"a"_s, h), InvalidTarget);
        QCOMPARE(link.createVarHandle(u"a"_s, h), InvalidTarget);
        const QString why =
            u"the address or port is not usable (an IP address and a port 1..65535 are needed; host "
            u"names are not looked up)"_s;
        QCOMPARE(events.entries, QStringList{u"PLC link down: cannot connect to the PLC runtime at net id "
                                             u"\"plc.example\", port \"\": "_s +
                                             why + u'.'});
        QVERIFY(!link.isConnected() && link.lastFailure() == why);
        QHostAddress address;
        quint16 port = 0;
        // Empty texts mean this workstation and the default port; a six-part net id names an IPv4 address.
        for (const auto &[netId, portText, ip, number] : {std::tuple{"", "", "127.0.0.1", DefaultPort},
                                                          {"192.168.1.20.1.1", " 851 ", "192.168.1.20", 851},
                                                          {"::1", "1", "::1", 1}}) {
            QVERIFY(TargetedLink::parseTarget(QString::fromLatin1(netId), QString::fromLatin1(portText),
                                              DefaultPort, address, port));
            QCOMPARE(address, QHostAddress(QString::fromLatin1(ip)));
            QCOMPARE(port, number);
        }
        for (const auto &[netId, portText] :
             {std::pair{u"1.2.3"_s, u""_s}, {{}, u"0"_s}, {{}, u"12ab"_s}, {{}, u"70000"_s}})
            QVERIFY2(!TargetedLink::parseTarget(netId, portText, DefaultPort, address, port),
                     qPrintable(netId + portText));
    }
};

QTEST_GUILESS_MAIN(TestRuntimeLink)
#include "TestRuntimeLink.moc"
