// The response cycle against the runtime stand-in: what the PLC side sees of answers handed over
// in one exchange (the writes on the condition that the answer flag is free) is what it sees of
// the same answers handed over in two exchanges or call by call, and the journal's mark of an
// answer going out stands only for one that went out.
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
    QStringList journal; // what the journal was told
    int requests = 0;    // requests the runtime served during the ticks
};

struct RecordingJournal : QueueJournal {
    QStringList *calls;
    explicit RecordingJournal(QStringList *to) : calls(to) {}
    void appended(Queue, const QString &text, qint64) override { *calls << u"appended "_s + text; }
    void removedFirst(Queue) override { *calls << u"removed"_s; }
    void cleared(Queue) override { *calls << u"cleared"_s; }
    void handingOver(Queue) override { *calls << u"handing"_s; }
    void handOverWithdrawn(Queue) override { *calls << u"withdrawn"_s; }
};

Seen handOver(const QString &protocol)
{
    Seen seen;
    PlcSimProcess sim;
    if (!sim.start({u"--module"_s, u"K1"_s, u"--trace"_s, u"--protocol"_s, protocol}))
        return seen;
    TestClock clock;
    GatewayState state;
    RecordingJournal journal(&seen.journal);
    state.journal = &journal;
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
        seen.journal << u"|"_s;
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
    void plcSeesTheSameSequenceInOneExchangeAsCallByCall()
    {
        const Seen conditional = handOver(u"3"_s), combined = handOver(u"2"_s), single = handOver(u"1"_s);
        const QStringList expected{
            u"K1.ConnectStatus=7"_s, u"K1.RecData=OK 1"_s,    u"K1.antwort=true"_s,
            u"K1.ConnectStatus=3"_s, u"K1.ConnectStatus=3"_s, u"K1.RecData=OK \u00e4 2"_s,
            u"K1.antwort=true"_s,    u"K1.ConnectStatus=3"_s, u"K1.antwort=true"_s};
        QCOMPARE(single.writes, expected);
        QCOMPARE(combined.writes, expected);
        QCOMPARE(conditional.writes, expected);
        QCOMPARE(combined.shown, single.shown);
        QCOMPARE(conditional.shown, single.shown);
        QVERIFY(combined.shown.at(3).endsWith(u" WriteVar: RecData !1813"_s));
        QCOMPARE(combined.logged, single.logged);
        QCOMPARE(conditional.logged, single.logged);
        // Ticks that hand over: one exchange, two, or four calls; a tick that finds the flag set:
        // one exchange or two calls. The answer that found the flag set waits with looks alone
        // (one exchange, then one more once the flag is free).
        QCOMPARE(single.requests, 4 + 2 + 4 + 4);
        QCOMPARE(combined.requests, 2 + 1 + 2 + 2);
        QCOMPARE(conditional.requests, 1 + 1 + 2 + 1);
        // Marked only while it goes out: marked first and the mark taken back when the flag was
        // set; the answer stays, looks alone until the flag is free and is marked then.
        const QStringList marks{u"handing"_s, u"removed"_s, u"|"_s, u"handing"_s, u"withdrawn"_s, u"|"_s,
                                u"handing"_s, u"removed"_s, u"|"_s, u"handing"_s, u"removed"_s,   u"|"_s};
        QCOMPARE(conditional.journal, marks);
        QCOMPARE(combined.journal, marks);
        QCOMPARE(single.journal, marks);
    }
};

QTEST_GUILESS_MAIN(TestAnswerHandOver)
#include "TestAnswerHandOver.moc"
