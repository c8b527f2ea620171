// The response cycle against the runtime stand-in: what the PLC side sees of answers handed over
// in two exchanges is what it sees of the same answers handed over call by call.
#include "FakeSocketEndpoint.h"
#include "PlcSimProcess.h"
#include "RecordingLog.h"
#include "TestClock.h"
#include "common/GatewayState.h"
#include "plc/PlcCycles.h"
#include "plclink/RuntimeLink.h"

#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace
{

// What the PLC side saw and what the gateway showed and logged, for one runtime version.
struct Seen {
    QStringList writes; // "K1.antwort=true", in the runtime's order
    QStringList shown;  // lblError after each tick
    QStringList logged;
    int requests = 0; // requests the runtime served during the ticks
};

Seen handOver(const QString &protocol)
{
    Seen seen;
    PlcSimProcess sim;
    if (!sim.start({u"--module"_s, u"K1"_s, u"--trace"_s, u"--protocol"_s, protocol}))
        return seen;
    TestClock clock;
    GatewayState state;
    state.settings.moduleName = u"K1"_s;
    state.settings.staticConnection = true;
    state.settings.statusReport = 0;
    RuntimeLink link;
    link.setCallTimeout(2000);
    link.setPort(sim.portText());
    FakeSocketEndpoint socket;
    socket.current = 7;
    RecordingLog log;
    PlcCycles cycles(state, link, socket, log);
    cycles.connectPlc();

    const auto requests = [&sim] {
        const int from = int(sim.lines().size());
        sim.command(u"stats"_s);
        sim.waitForLine(u"^stats "_s, 5000, from);
        const QStringList line = sim.linesMatching(u"^stats "_s, from);
        return line.isEmpty() ? -1 : line.first().section(u'=', 1, 1).section(u' ', 0, 0).toInt();
    };
    const auto tick = [&] {
        cycles.responseTick();
        seen.shown << state.lblError;
    };
    const int from = int(sim.lines().size());
    const int before = requests();
    // An answer; another one while the PLC has not taken the first (only the look at the flag);
    // taken, the second; one too long for .RecData (refused, the flag is still set); a state
    // change between the answers.
    state.receiveQueue = QStringList{u"OK 1"_s, u"OK \u00e4 2"_s, QString(2100, u'x')};
    tick();
    socket.current = 3;
    tick();
    const auto take = [&sim] {
        const int at = int(sim.lines().size());
        sim.command(u"set K1.antwort false"_s);
        sim.waitForLine(u"^value K1.antwort=false"_s, 5000, at);
    };
    take();
    tick();
    take();
    tick();
    seen.requests = requests() - before;
    static const QRegularExpression stamp(u"^write t=\\S+ client=\\d+ "_s);
    for (QString line : sim.linesMatching(u"^write "_s, from))
        seen.writes << line.remove(stamp);
    for (const auto &[text, logOnly] : log.records)
        seen.logged << text;
    return seen;
}

} // namespace

class TestAnswerHandOver : public QObject
{
    Q_OBJECT

private slots:
    void plcSeesTheSameSequenceInTwoExchangesAsCallByCall()
    {
        const Seen combined = handOver(u"2"_s), single = handOver(u"1"_s);
        const QStringList expected{
            u"K1.ConnectStatus=7"_s, u"K1.RecData=OK 1"_s,    u"K1.antwort=true"_s,
            u"K1.ConnectStatus=3"_s, u"K1.ConnectStatus=3"_s, u"K1.RecData=OK \u00e4 2"_s,
            u"K1.antwort=true"_s,    u"K1.ConnectStatus=3"_s, u"K1.antwort=true"_s};
        QCOMPARE(single.writes, expected);
        QCOMPARE(combined.writes, expected);
        QCOMPARE(combined.shown, single.shown);
        QVERIFY(combined.shown.at(3).endsWith(u" WriteVar: RecData !1813"_s));
        QCOMPARE(combined.logged, single.logged);
        // Ticks that hand over: two exchanges against four calls; a tick that finds the flag set:
        // one against two.
        QCOMPARE(single.requests, 4 + 2 + 4 + 4);
        QCOMPARE(combined.requests, 2 + 1 + 2 + 2);
    }
};

QTEST_GUILESS_MAIN(TestAnswerHandOver)
#include "TestAnswerHandOver.moc"
