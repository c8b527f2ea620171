// The PLC connection, request cycle and response cycle against a recording link: the values and
// texts the PLC gets, and the orders it relies on.
#include "FakePlcLink.h"
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
    qint32 run(const QString &what)
    {
        calls << what;
        return result;
    }
    qint32 setLabelContent(const QString &request) override { return run(u"label:"_s + request); }
    qint32 setJob(const QString &request) override { return run(u"job:"_s + request); }
};

struct Rig {
    TestClock clock;
    GatewayState state;
    FakePlcLink link;
    FakeSocketEndpoint socket;
    RecordingLog log;
    Labels labels;
    PlcCycles cycles{state, link, socket, log};

    Rig()
    {
        state.settings.moduleName = u"K1"_s;
        state.settings.staticConnection = true;
        cycles.setLabelCommands(&labels);
        cycles.connectPlc();
    }
    PlcRecord *record() const { return cycles.plcRecord(); }
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
    QVariant var(const char *name) const { return link.values.value(u"K1."_s + QLatin1String(name)); }
    // The index of the first call that starts with the text, -1 when none.
    qsizetype at(const QString &start) const
    {
        for (qsizetype i = 0; i < link.calls.size(); ++i)
            if (link.calls[i].startsWith(start))
                return i;
        return -1;
    }
    qsizetype count(const QString &op) const { return link.calls.filter(op).size(); }
    QString lastLog() const { return log.records.isEmpty() ? QString() : log.records.last().first; }
};

QString requestLine(int ms, const QString &logText)
{
    return statusLine(u" (%1 msec) "_s.arg(ms) + logText);
}

} // namespace

class TestPlcCycles : public QObject
{
    Q_OBJECT

private slots:
    void elapsedAcrossTheWraps()
    {
        QCOMPARE(elapsedMs(0xFFFFFFF0u, 0x10u), 32);                 // unsigned wrap: still right
        QCOMPARE(elapsedMs(0, 0x80000005u), -0x7FFFFFFB);            // tick count taken as a signed number
        QCOMPARE(elapsedMs(0x7FFFFFF0u, 0x80000010u), std::nullopt); // signed wrap: a failure
    }

    void connectionHandlesAndRelease()
    {
        Rig rig;
        QCOMPARE(rig.count(u"createVarHandle"_s), 7);
        QCOMPARE(rig.link.calls.last(), u"connectVar K1.anford"_s);
        QVERIFY(rig.record() && rig.link.lastUser == rig.record());
        QVERIFY(rig.log.records.isEmpty() && rig.socket.calls.isEmpty()); // static: the socket is left alone

        // A reconnect (state 5 only) and the window's close release the notification first, then
        // every handle once; a second close releases nothing.
        rig.link.calls.clear();
        rig.link.emitStateChanged(6);
        rig.link.emitStateChanged(5);
        QCOMPARE(rig.link.calls.first(), u"disconnectVar notify:K1.anford"_s);
        QVERIFY(rig.count(u"deleteVarHandle"_s) == 7 && rig.count(u"createVarHandle"_s) == 7);
        rig.link.calls.clear();
        rig.cycles.terminateAll();
        rig.cycles.terminateAll();
        QVERIFY(rig.count(u"disconnectVar"_s) == 1 && rig.count(u"deleteVarHandle"_s) == 7);
        QVERIFY(!rig.record());

        // Per-request connections: every connectPlc closes the socket.
        rig.state.settings.staticConnection = false;
        rig.cycles.connectPlc();
        QCOMPARE(rig.socket.calls, QStringList{u"Close"_s});

        // Server role: no handle, no record, the send queue emptied.
        rig.state.settings.serverRole = true;
        rig.state.sendQueue = QStringList{u"a"_s, u"b"_s};
        rig.link.calls.clear();
        rig.cycles.connectPlc();
        QCOMPARE(rig.at(u"createVarHandle"_s), -1);
        QVERIFY(!rig.record() && rig.state.sendQueue.isEmpty());
    }

    void connectionRefused()
    {
        // Nothing is tried after the refusal; what was made before stays in the record.
        for (const auto &[refused, message, made] :
             {std::tuple{u"createVarHandle K1.RecData"_s, u"Create VarHandle: K1.RecData1810"_s, 2},
              {u"connectVar K1.anford"_s, u"Connect: K1.anford1810"_s, 7}}) {
            Rig rig;
            rig.link.failures[refused] = 1810;
            rig.link.calls.clear();
            rig.cycles.connectPlc();
            QCOMPARE(rig.link.calls.last().section(u' ', 0, 1), refused);
            const PlcRecord &r = *rig.record();
            const QList<qint32> handles{r.hProdData,  r.hConnect,       r.hProdRecData, r.hAnfordRecVar,
                                        r.hAnfordErr, r.hAnfordErrText, r.hAnfordVar};
            QCOMPARE(handles.count(0), 7 - made);
            QCOMPARE(handles.indexOf(0), made == 7 ? -1 : made);
            QCOMPARE(rig.log.records.last(), qMakePair(statusLine(message), false));
        }
    }

    void requestData()
    {
        Rig rig;
        rig.link.calls.clear();
        rig.link.onCall = [&](const QString &line) { // 15 ms pass while the flag is reset
            if (line.startsWith(u"writeVarBool K1.anford"_s))
                rig.clock.advance(15);
        };
        // The flag goes back only after the data was read.
        rig.request(u"  hello  "_s);
        QVERIFY(rig.at(u"readVarString K1.SendData 2000"_s) < rig.at(u"writeVarBool K1.anford"_s));
        QCOMPARE(rig.var("anford"), QVariant(false));
        QCOMPARE(rig.state.sendQueue, QStringList{u"hello"_s});
        QCOMPARE(rig.log.records, (Log{{requestLine(15, u" Send Data:hello"_s), true}}));
        rig.link.onCall = nullptr;

        // Cut at the first NUL; a full 2000 characters with blanks inside stays whole; only blanks
        // send nothing; a new request queues behind the waiting one.
        const QString full = u'x' + QString(1998, u' ') + u'y';
        for (const QString &data : {u"abc\0def"_s, full, u"     "_s})
            rig.request(data);
        QCOMPARE(rig.state.sendQueue, (QStringList{u"hello"_s, u"abc"_s, full}));

        // Or as UTF-8 bytes; the log shows the text.
        rig.state.settings.sendUtf8 = true;
        rig.request(u"\u00e4\u20ac"_s);
        QCOMPARE(rig.state.sendQueue.last(), encodeUTF8(u"\u00e4\u20ac"_s));
        QCOMPARE(rig.lastLog(), requestLine(0, u" Send Data:\u00e4\u20ac"_s));

        // A flag that reads false (the PLC took it back), cannot be read, or a notification that is
        // not a true value of the current record: nothing but the read.
        rig.clear();
        rig.link.values[u"K1.anford"_s] = false;
        rig.link.emitConnectUpdate(true, rig.record());
        rig.link.failures[u"readVarBool K1.anford"_s] = 1802;
        rig.link.emitConnectUpdate(true, rig.record());
        rig.link.emitConnectUpdate(false, rig.record());
        rig.link.emitConnectUpdate(1, rig.record());
        int stale = 0;
        rig.link.emitConnectUpdate(true, &stale);
        QCOMPARE(rig.link.calls, QStringList(2, u"readVarBool K1.anford"_s));
        QVERIFY(rig.log.records.isEmpty());
        QCOMPARE(rig.state.lblError, statusLine(u"ReadVar:anfordPROD !1802"_s));
    }

    void commands()
    {
        Rig rig;
        rig.request(u"/close"_s); // wrong case: ignored, but taken and logged
        rig.request(u"/Other"_s);
        QVERIFY(rig.socket.calls.isEmpty());
        QCOMPARE(rig.lastLog(), requestLine(0, u" Send Data:/Other"_s));
        rig.request(u"/Close"_s);
        QCOMPARE(rig.socket.calls, QStringList{u"Close"_s});
        rig.request(u"/SetJob7"_s);
        rig.request(u"/SetLabel /SetJob x"_s);
        QCOMPARE(rig.labels.calls, (QStringList{u"job:/SetJob7"_s, u"label:/SetLabel /SetJob x"_s}));
        QVERIFY(!rig.var("anford").toBool() && !rig.var("anfordErr").isValid());
    }

    void requestErrors()
    {
        Rig rig;
        rig.link.calls.clear();
        // Send data not readable: code and caption into the PLC before the flag goes back, the
        // caption logged, then the line.
        rig.link.failures[u"readVarString K1.SendData"_s] = 1813;
        rig.request(u"x"_s);
        const QString readError = statusLine(u"Error Read Senddata !1813"_s);
        QCOMPARE(rig.var("anfordErr"), QVariant(1813));
        QCOMPARE(rig.var("anfordErrText"), QVariant(readError));
        QVERIFY(rig.at(u"writeVarLong K1.anfordErr"_s) < rig.at(u"writeVarBool K1.anford"_s));
        QCOMPARE(rig.log.records,
                 (Log{{readError, false}, {requestLine(0, u"Error : "_s + readError), true}}));

        // A failing command writes the older text of the label, not its own default text; with an
        // empty label the default text.
        rig.link.failures.clear();
        rig.labels.result = 42;
        rig.request(u"/SetJob 1"_s);
        QCOMPARE(rig.var("anfordErr"), QVariant(42));
        QCOMPARE(rig.var("anfordErrText"), QVariant(readError));
        rig.state.lblError.clear();
        rig.request(u"/SetJob 2"_s);
        QCOMPARE(rig.var("anfordErrText"), QVariant(statusLine(u"Error Scan Senddata !42"_s)));

        // A later success leaves the old error in the PLC. A refused reset is shown, not logged.
        rig.labels.result = 0;
        rig.clear();
        rig.link.failures[u"writeVarBool K1.anford"_s] = 1801;
        rig.request(u"ok"_s);
        QCOMPARE(rig.at(u"writeVarLong"_s), -1);
        QCOMPARE(rig.state.lblError, statusLine(u"WriteVar: anfordSendData !1801"_s));
        QCOMPARE(rig.log.records, (Log{{requestLine(0, u" Send Data:ok"_s), true}}));
    }

    void responseCycle()
    {
        Rig rig;
        rig.state.settings.statusReport = 0;
        rig.state.lblError = u"before"_s;
        rig.state.requestTick = rig.clock.tickCount();
        rig.link.calls.clear();
        rig.socket.current = SocketEndpoint::Connected;
        rig.link.values[u"K1.antwort"_s] = true;
        rig.state.receiveQueue = QStringList{u""_s, u"first"_s, u"second \u00e4"_s};
        rig.cycles.responseTick(); // the empty piece goes without a write
        QVERIFY(rig.link.calls.isEmpty());

        // The previous answer is not taken yet: every tick refreshes the state and asks again. Each
        // piece waits for the PLC's reset and goes into RecData before the flag is set; the report
        // follows settings.statusReport (0: none).
        rig.cycles.responseTick();
        QCOMPARE(rig.var("ConnectStatus"), QVariant(7));
        QVERIFY(!rig.var("RecData").isValid());
        rig.link.values[u"K1.antwort"_s] = false;
        rig.cycles.responseTick();
        rig.cycles.responseTick();
        QCOMPARE(rig.var("RecData"), QVariant(u"first"_s));
        QCOMPARE(rig.var("antwort"), QVariant(true));
        QVERIFY(rig.at(u"writeVarString K1.RecData first"_s) < rig.at(u"writeVarBool K1.antwort true"_s));
        QCOMPARE(rig.state.receiveQueue.size(), 1);
        QVERIFY(rig.state.lblError == u"before"_s && rig.log.records.isEmpty());
        rig.state.settings.statusReport = 2;
        rig.clock.advance(250);
        rig.link.values[u"K1.antwort"_s] = false;
        rig.cycles.responseTick();
        QCOMPARE(rig.var("RecData"), QVariant(u"second \u00e4"_s));
        QCOMPARE(rig.log.records,
                 (Log{{statusLine(u"SocketData received: (250 msec) second \u00e4"_s), false}}));

        // Refused reads leave the piece waiting; refused writes still set the flag and drop it.
        rig.state.settings.statusReport = 1;
        rig.state.receiveQueue = QStringList{u"x"_s};
        rig.link.values[u"K1.antwort"_s] = false;
        rig.link.failures[u"readVarBool K1.antwort"_s] = 1801;
        rig.cycles.responseTick();
        QCOMPARE(rig.state.lblError, statusLine(u"ReadVar: antwort !1801"_s));
        QCOMPARE(rig.state.receiveQueue.size(), 1);
        rig.link.failures = {{u"writeVarString K1.RecData"_s, 1813}};
        rig.clock.advance(10001); // answers beyond 10 s are reported with -1
        rig.cycles.responseTick();
        QVERIFY(rig.var("antwort").toBool() && rig.state.receiveQueue.isEmpty());
        // The refusal is logged before the next line takes the label.
        QCOMPARE(rig.log.records.at(1).first,
                 statusLine(u"WriteVar: RecData !1813 (answer of 1 characters)"_s));
        QCOMPARE(rig.log.records.last(), qMakePair(statusLine(u"SocketData received: (-1 msec) x"_s), true));
        // Told to the PLC, the refusal has one more record: the text ".anfordErrText" gets.
        rig.clear();
        rig.state.safety.reportPeerFailures = true;
        rig.state.receiveQueue = QStringList{u"y"_s};
        rig.link.values[u"K1.antwort"_s] = false;
        rig.cycles.responseTick();
        const QString told = statusLine(u"Answer not written into RecData (code 1813, 1 characters): y"_s);
        QCOMPARE(rig.var("anfordErr"), QVariant(3007));
        QCOMPARE(rig.var("anfordErrText"), QVariant(told));
        QCOMPARE(rig.log.records.size(), 3);
        QCOMPARE(rig.log.records.at(1), qMakePair(told, true));
        rig.state.safety.reportPeerFailures = false;

        // Without usable handles every piece is shown, logged for the operator and dropped.
        rig.clear();
        rig.record()->hProdRecData = 0;
        rig.state.receiveQueue = QStringList{u"lost"_s};
        rig.cycles.responseTick();
        QVERIFY(rig.lastLog() == statusLine(u"SocketData received: lost"_s) &&
                rig.state.receiveQueue.isEmpty());

        // Server role: every piece goes at once; reported only with settings.statusReport, empty ones never.
        rig.clear();
        rig.state.settings.serverRole = true;
        rig.state.settings.statusReport = 0;
        rig.state.receiveQueue = QStringList{u"a"_s, u""_s, u"b"_s, u"c"_s};
        rig.cycles.responseTick();
        rig.state.settings.statusReport = 1;
        rig.cycles.responseTick();
        rig.cycles.responseTick();
        rig.state.settings.statusReport = 2;
        rig.cycles.responseTick();
        QVERIFY(rig.state.receiveQueue.isEmpty());
        QCOMPARE(rig.log.records, (Log{{statusLine(u"SocketData received: b"_s), true},
                                       {statusLine(u"SocketData received: c"_s), false}}));
        QVERIFY(rig.link.calls.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPlcCycles)
#include "TestPlcCycles.moc"
