// The PLC connection, request cycle and response cycle against a recording link: the exact
// texts, orders and codes.
#include "FakeKeloLink.h"
#include "FakeSocketEndpoint.h"
#include "RecordingLog.h"
#include "TestClock.h"
#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "labels/LabelCommands.h"
#include "plc/PlcCycles.h"
#include "socket/Utf8Wire.h"

#include <QTest>

using namespace Qt::StringLiterals;
using Log = QList<QPair<QString, bool>>;

namespace
{

struct Labels : LabelCommands {
    QStringList calls;
    qint32 result = 0;
    QString ownText; // put into lblError by a failing command when not empty
    GatewayState *state = nullptr;
    qint32 run(const QString &what)
    {
        calls << what;
        if (result != 0 && !ownText.isEmpty())
            state->setLblError(ownText);
        return result;
    }
    qint32 setLabelContent(const QString &request) override { return run(u"label:"_s + request); }
    qint32 setJob(const QString &request) override { return run(u"job:"_s + request); }
};

struct Rig {
    TestClock clock;
    GatewayState state;
    FakeKeloLink link;
    FakeSocketEndpoint socket;
    RecordingLog log;
    Labels labels;
    PlcCycles cycles{state, link, socket, log};

    Rig()
    {
        state.modulName = u"K1"_s;
        state.chkCon = 1;
        labels.state = &state;
        cycles.setLabelCommands(&labels);
    }
    clsComm *record() const { return cycles.plcRecord(); }
    void clear()
    {
        link.calls.clear();
        log.records.clear();
    }
    // The PLC raises a request with this send data.
    void request(const QString &data)
    {
        link.values[u"K1.SendData"_s] = data;
        link.values[u"K1.anford"_s] = true;
        link.emitConnectUpdate(true, record());
    }
    QString lastLog() const { return log.records.isEmpty() ? QString() : log.records.last().first; }
};

QString requestLine(int ms, const QString &logText)
{
    return statusLine(u" (%1 msec) "_s.arg(ms) + logText);
}

const QStringList Connects{u"createVarHandle K1.SendData"_s,  u"createVarHandle K1.ConnectStatus"_s,
                           u"createVarHandle K1.RecData"_s,   u"createVarHandle K1.antwort"_s,
                           u"createVarHandle K1.anfordErr"_s, u"createVarHandle K1.anfordErrText"_s,
                           u"createVarHandle K1.anford"_s,    u"connectVar K1.anford 4 1"_s};

} // namespace

class TestPlcCycles : public QObject
{
    Q_OBJECT

private slots:
    void elapsedAcrossTheWraps()
    {
        QCOMPARE(elapsedMs(1000, 1015), 15);
        QCOMPARE(elapsedMs(0xFFFFFFF0u, 0x10u), 32); // unsigned wrap: still right
        QCOMPARE(elapsedMs(0x10u, 0xFFFFFFF0u), -32);
        QCOMPARE(elapsedMs(0, 0x80000005u), -0x7FFFFFFB);            // tick count taken as a signed number
        QCOMPARE(elapsedMs(0x7FFFFFF0u, 0x80000010u), std::nullopt); // signed wrap: a failure
    }

    void connectionHandlesAndRelease()
    {
        Rig rig;
        rig.cycles.connectPlc();
        QCOMPARE(rig.link.calls, Connects);
        QVERIFY(rig.record() && rig.cycles.commList()->size() == 1);
        QCOMPARE(rig.link.lastUser, static_cast<void *>(rig.record()));
        QVERIFY(rig.log.records.isEmpty());
        QVERIFY(rig.socket.calls.isEmpty()); // static connection: the socket is left alone

        // A reconnect (state 5 only) releases the notification first, then every handle once.
        const QStringList releases{u"disconnectVar notify:K1.anford"_s, u"deleteVarHandle K1.ConnectStatus"_s,
                                   u"deleteVarHandle K1.anford"_s,      u"deleteVarHandle K1.antwort"_s,
                                   u"deleteVarHandle K1.anfordErr"_s,   u"deleteVarHandle K1.anfordErrText"_s,
                                   u"deleteVarHandle K1.SendData"_s,    u"deleteVarHandle K1.RecData"_s};
        rig.link.calls.clear();
        rig.link.emitStateChanged(6);
        rig.link.emitStateChanged(5);
        QCOMPARE(rig.link.calls, releases + Connects);

        // The window's close: every record terminated, the list dropped; nothing released twice.
        rig.link.calls.clear();
        rig.cycles.terminateAll();
        rig.cycles.terminateAll();
        QCOMPARE(rig.link.calls, releases);
        QVERIFY(!rig.cycles.commList());

        // Per-request connections: every connectPlc closes the socket.
        rig.state.chkCon = 0;
        rig.link.calls.clear();
        rig.cycles.connectPlc();
        QCOMPARE(rig.socket.calls, QStringList{u"Close"_s});
        QCOMPARE(rig.link.calls, Connects);

        // Server role: no handle, an empty list, the send queue emptied.
        rig.state.chkServer = 1;
        rig.state.sendQueue = QStringList{u"a"_s, u"b"_s};
        rig.link.calls.clear();
        rig.cycles.connectPlc();
        QCOMPARE(rig.link.calls.size(), 8); // the old record's release only
        QVERIFY(rig.cycles.commList() && rig.cycles.commList()->empty());
        QVERIFY(rig.state.sendQueue.isEmpty());
    }

    void connectionRefused()
    {
        // Nothing is tried after the refusal; what was made before stays in the record.
        for (const auto &[refused, message, made] :
             {std::tuple{u"createVarHandle K1.RecData"_s, u"Create VarHandle: K1.RecData1810"_s, 2},
              {u"connectVar K1.anford"_s, u"Connect: K1.anford1810"_s, 7}}) {
            Rig rig;
            rig.link.failures[refused] = 1810;
            rig.cycles.connectPlc();
            QCOMPARE(rig.link.calls.last().section(u' ', 0, 1), refused);
            const clsComm &r = *rig.record();
            const QList<qint32> handles{r.hProdData,  r.hConnect,       r.hProdRecData, r.hAnfordRecVar,
                                        r.hAnfordErr, r.hAnfordErrText, r.hAnfordVar};
            QCOMPARE(handles.count(0), 7 - made);
            QCOMPARE(handles.indexOf(0), made == 7 ? -1 : made);
            QCOMPARE(rig.state.lblError, statusLine(message));
            QCOMPARE(rig.log.records, (Log{{statusLine(message), false}}));
        }
    }

    void requestData()
    {
        Rig rig;
        rig.cycles.connectPlc();
        rig.link.calls.clear();
        rig.link.onCall = [&](const QString &line) { // 15 ms pass while the flag is reset
            if (line.startsWith(u"writeVarBool K1.anford"_s))
                rig.clock.advance(15);
        };
        rig.request(u"  hello  "_s);
        QCOMPARE(rig.link.calls,
                 (QStringList{u"readVarBool K1.anford 2"_s, u"readVarString K1.SendData 2000"_s,
                              u"writeVarBool K1.anford 2 false"_s}));
        QCOMPARE(rig.state.sendQueue, QStringList{u"hello"_s});
        QCOMPARE(rig.state.requestTick, 1000u);
        QCOMPARE(rig.log.records, (Log{{requestLine(15, u" Send Data:hello"_s), true}}));
        QVERIFY(rig.lastLog().endsWith(u"  (15 msec)  Send Data:hello"_s));
        rig.link.onCall = nullptr;

        // Cut at the first NUL; a full 2000 characters with blanks inside stays whole; only blanks
        // send nothing; a new request queues behind the waiting one.
        const QString full = u'x' + QString(1998, u' ') + u'y';
        for (const QString &data : {u"abc\0def"_s, full, u"     "_s})
            rig.request(data);
        QCOMPARE(rig.state.sendQueue, (QStringList{u"hello"_s, u"abc"_s, full}));
        QCOMPARE(rig.lastLog(), requestLine(0, u" Send Data:"_s));

        // As they are, or as UTF-8 bytes; the log shows the text.
        rig.state.sendQueue.clear();
        rig.request(u"\u00e4\u20ac"_s);
        rig.state.chkUTF8 = 1;
        rig.request(u"\u00e4\u20ac"_s);
        QCOMPARE(rig.state.sendQueue, (QStringList{u"\u00e4\u20ac"_s, encodeUTF8(u"\u00e4\u20ac"_s)}));
        QCOMPARE(rig.lastLog(), requestLine(0, u" Send Data:\u00e4\u20ac"_s));

        // A flag that reads false (the PLC took it back) or cannot be read: nothing at all.
        rig.clear();
        rig.link.values[u"K1.anford"_s] = false;
        rig.link.emitConnectUpdate(true, rig.record());
        rig.link.failures[u"readVarBool K1.anford"_s] = 1802;
        rig.link.emitConnectUpdate(true, rig.record());
        QCOMPARE(rig.link.calls, QStringList(2, u"readVarBool K1.anford 2"_s));
        QVERIFY(rig.log.records.isEmpty());
        QCOMPARE(rig.state.lblError, statusLine(u"ReadVar:anfordPROD !1802"_s));

        // Only a true value of the current record starts a request.
        rig.link.calls.clear();
        rig.link.emitConnectUpdate(false, rig.record());
        rig.link.emitConnectUpdate(1, rig.record());
        int stale = 0;
        rig.link.emitConnectUpdate(true, &stale);
        QVERIFY(rig.link.calls.isEmpty());
    }

    void commands()
    {
        Rig rig;
        rig.cycles.connectPlc();
        rig.request(u"/close"_s); // wrong case: ignored, but taken and logged
        rig.request(u"/Other"_s);
        QVERIFY(rig.socket.calls.isEmpty());
        QCOMPARE(rig.lastLog(), requestLine(0, u" Send Data:/Other"_s));
        rig.request(u"/Close"_s);
        QCOMPARE(rig.socket.calls, QStringList{u"Close"_s});
        rig.request(u"/SetJob7"_s);
        rig.request(u"/SetLabel /SetJob x"_s);
        QCOMPARE(rig.labels.calls, (QStringList{u"job:/SetJob7"_s, u"label:/SetLabel /SetJob x"_s}));
        QCOMPARE(rig.link.calls.filter(u"writeVarBool"_s).size(), 5);
        QVERIFY(rig.link.calls.filter(u"writeVarLong"_s).isEmpty());

        // Without a label builder the commands succeed and queue nothing.
        rig.cycles.setLabelCommands(nullptr);
        rig.request(u"/SetLabel A"_s);
        QVERIFY(rig.state.sendQueue.isEmpty());
        QCOMPARE(rig.lastLog(), requestLine(0, u" Send Data:/SetLabel A"_s));
    }

    void requestErrors()
    {
        Rig rig;
        rig.cycles.connectPlc();
        rig.link.calls.clear();
        // Send data not readable: code and caption into the PLC, the caption logged, then the line.
        rig.link.failures[u"readVarString K1.SendData"_s] = 1813;
        rig.request(u"x"_s);
        const QString readError = statusLine(u"Error Read Senddata !1813"_s);
        QCOMPARE(
            rig.link.calls.mid(2),
            (QStringList{u"writeVarLong K1.anfordErr 4 1813"_s,
                         u"writeVarString K1.anfordErrText %1 %2"_s.arg(readError.size() * 2).arg(readError),
                         u"writeVarBool K1.anford 2 false"_s}));
        QCOMPARE(rig.log.records,
                 (Log{{readError, false}, {requestLine(0, u"Error : "_s + readError), true}}));

        // A failing command writes the older text of the label, not its own default text; with an
        // empty label the default text; with the command's own text, that one.
        rig.link.failures.clear();
        rig.labels.result = 42;
        rig.request(u"/SetJob 1"_s);
        QCOMPARE(rig.link.values[u"K1.anfordErr"_s].toInt(), 42);
        QCOMPARE(rig.link.values[u"K1.anfordErrText"_s].toString(), readError);
        rig.state.lblError.clear();
        rig.request(u"/SetJob 2"_s);
        QCOMPARE(rig.link.values[u"K1.anfordErrText"_s].toString(), statusLine(u"Error Scan Senddata !42"_s));
        rig.labels.ownText = u"Template missing"_s;
        rig.request(u"/SetLabel 3"_s);
        QCOMPARE(rig.link.values[u"K1.anfordErrText"_s].toString(), u"Template missing"_s);
        QCOMPARE(rig.log.records.mid(rig.log.records.size() - 2),
                 (Log{{u"Template missing"_s, false}, {requestLine(0, u" Send Data:/SetLabel 3"_s), true}}));

        // A later success leaves the old error in the PLC. A refused reset is shown, not logged.
        rig.labels.result = 0;
        rig.clear();
        rig.link.failures[u"writeVarBool K1.anford"_s] = 1801;
        rig.request(u"ok"_s);
        QVERIFY(rig.link.calls.filter(u"writeVarLong"_s).isEmpty());
        QCOMPARE(rig.state.lblError, statusLine(u"WriteVar: anfordSendData !1801"_s));
        QCOMPARE(rig.log.records, (Log{{requestLine(0, u" Send Data:ok"_s), true}}));

        // The tick counter passes its signed wrap during a request: the failure path, and -1.
        rig.link.failures.clear();
        rig.clock.setTick(0x7FFFFFFEu);
        rig.link.onCall = [&](const QString &line) {
            if (line.startsWith(u"writeVarBool"_s))
                rig.clock.advance(5);
        };
        rig.request(u"late"_s);
        QCOMPARE(rig.state.lblError, statusLine(u"ConnectUpdateEx !Overflow"_s));
        QCOMPARE(rig.lastLog(), requestLine(-1, u" Send Data:late"_s));
    }

    void responseCycle()
    {
        Rig rig;
        rig.state.chkStatus = 0;
        rig.state.lblError = u"before"_s;
        rig.state.requestTick = rig.clock.tickCount();
        rig.cycles.responseTick(); // no record, empty queue: nothing
        rig.cycles.connectPlc();
        rig.link.calls.clear();
        rig.socket.state = SocketEndpoint::Connected;
        rig.link.values[u"K1.antwort"_s] = true;
        rig.state.receiveQueue = QStringList{u""_s, u"first"_s, u"second \u00e4"_s};
        rig.cycles.responseTick(); // the empty piece goes without a write
        QVERIFY(rig.link.calls.isEmpty());

        // The previous answer is not taken yet: every tick refreshes the state and asks again. Each
        // piece waits for the PLC's reset; the report follows chkStatus (0: none).
        const QStringList ask{u"writeVarInt K1.ConnectStatus 2 7"_s, u"readVarBool K1.antwort 2"_s};
        rig.cycles.responseTick();
        rig.link.values[u"K1.antwort"_s] = false;
        rig.cycles.responseTick();
        rig.cycles.responseTick();
        const QStringList answered{u"writeVarString K1.RecData 10 first"_s,
                                   u"writeVarBool K1.antwort 2 true"_s};
        QCOMPARE(rig.link.calls, ask + ask + answered + ask);
        QCOMPARE(rig.state.receiveQueue.size(), 1);
        QCOMPARE(rig.state.lblError, u"before"_s);
        QVERIFY(rig.log.records.isEmpty());
        rig.state.chkStatus = 2;
        rig.clock.advance(250);
        rig.link.values[u"K1.antwort"_s] = false;
        rig.cycles.responseTick();
        QVERIFY(rig.state.receiveQueue.isEmpty());
        QCOMPARE(rig.link.values[u"K1.RecData"_s].toString(), u"second \u00e4"_s);
        QCOMPARE(rig.log.records,
                 (Log{{statusLine(u"SocketData received: (250 msec) second \u00e4"_s), false}}));

        // Refused reads leave the piece waiting; refused writes still set the flag and drop it.
        rig.state.chkStatus = 1;
        rig.state.receiveQueue = QStringList{u"x"_s};
        rig.link.values[u"K1.antwort"_s] = false;
        rig.link.failures[u"readVarBool K1.antwort"_s] = 1801;
        rig.cycles.responseTick();
        QCOMPARE(rig.state.lblError, statusLine(u"ReadVar: antwort !1801"_s));
        QCOMPARE(rig.state.receiveQueue.size(), 1);
        rig.link.failures = {{u"writeVarString K1.RecData"_s, 1813}};
        rig.clock.advance(10001); // answers beyond 10 s are reported with -1
        rig.cycles.responseTick();
        QCOMPARE(rig.link.calls.last(), u"writeVarBool K1.antwort 2 true"_s);
        QVERIFY(rig.state.receiveQueue.isEmpty());
        QCOMPARE(rig.log.records.size(), 3); // the refusal is logged before the next line takes the label
        QCOMPARE(rig.log.records.at(1).first,
                 statusLine(u"WriteVar: RecData !1813 (answer of 1 characters)"_s));
        QCOMPARE(rig.log.records.last(), qMakePair(statusLine(u"SocketData received: (-1 msec) x"_s), true));
        rig.link.failures = {{u"writeVarBool K1.antwort"_s, 1815}};
        rig.state.chkStatus = 0;
        rig.state.receiveQueue = QStringList{u"y"_s};
        rig.link.values[u"K1.antwort"_s] = false;
        rig.cycles.responseTick();
        QCOMPARE(rig.state.lblError, statusLine(u"WriteVar: antwort !1815"_s));

        // Without usable handles every piece is shown, logged for the operator and dropped.
        rig.clear();
        rig.record()->hProdRecData = 0;
        rig.state.receiveQueue = QStringList{u"lost"_s};
        rig.cycles.responseTick();
        rig.cycles.terminateAll();
        rig.state.receiveQueue = QStringList{u"gone"_s};
        rig.cycles.responseTick();
        QCOMPARE(rig.log.records, (Log{{statusLine(u"SocketData received: lost"_s), false},
                                       {statusLine(u"SocketData received: gone"_s), false}}));
        QVERIFY(rig.state.receiveQueue.isEmpty());

        // Server role: every piece goes at once; reported only with chkStatus, empty ones never.
        rig.clear();
        rig.state.chkServer = 1;
        rig.state.receiveQueue = QStringList{u"a"_s, u""_s, u"b"_s, u"c"_s};
        rig.cycles.responseTick();
        rig.state.chkStatus = 1;
        rig.cycles.responseTick();
        rig.cycles.responseTick();
        rig.state.chkStatus = 2;
        rig.cycles.responseTick();
        QVERIFY(rig.state.receiveQueue.isEmpty());
        QCOMPARE(rig.log.records, (Log{{statusLine(u"SocketData received: b"_s), true},
                                       {statusLine(u"SocketData received: c"_s), false}}));
        QVERIFY(rig.link.calls.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPlcCycles)
#include "TestPlcCycles.moc"
