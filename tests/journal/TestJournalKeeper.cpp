// What a run finds in the journal that an earlier run left, with the clock held still: an item
// taken no longer ago than replayMaxAgeSec is queued again (the bound itself included), an older
// one is reported and dropped; an item that was on the wire says so once, and a replayed item
// belongs to the journal again, so serving it removes it for good. An item taken "later" than now
// (the clock was stepped back) has no known age and is dropped.
#include "RecordingLog.h"
#include "TestClock.h"
#include "common/GatewayState.h"
#include "journal/JournalKeeper.h"

#include <QTemporaryDir>
#include <QTest>

class TestJournalKeeper : public QObject
{
    Q_OBJECT

    static QStringList journalRecords(const RecordingLog &log)
    {
        // Items not sent again are drop records (warnings); in these runs they come first.
        QStringList out;
        for (const QString &text : log.drops)
            if (text.contains(QLatin1String("Journal: ")))
                out << text.mid(text.indexOf(QLatin1String("Journal: ")));
        for (const auto &[text, logOnly] : log.records)
            if (text.contains(QLatin1String("Journal: ")))
                out << text.mid(text.indexOf(QLatin1String("Journal: ")));
        return out;
    }

private slots:
    void leftoversReplayedWithinTheBoundThenServedForGood()
    {
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("Line1.zelb"));
        const JournalOptions journal{true, 3};
        TestClock clock;
        {
            // A run takes a request (its hand-over begun and taken back), a millisecond later
            // another and an answer that it is writing into the PLC when it dies.
            GatewayState state;
            RecordingLog log;
            JournalKeeper keeper(state, log);
            keeper.apply(journal, config);
            QVERIFY(!keeper.settle());
            state.queueSend(QStringLiteral("R1"));
            state.handingOver(QueueJournal::Send);
            state.handOverWithdrawn(QueueJournal::Send);
            clock.advance(1);
            state.queueSend(QStringLiteral("R2"));
            state.queueAnswer(QStringLiteral("A2"));
            state.handingOver(QueueJournal::Receive);
        }
        clock.advance(3000); // R1 is 3001 ms old, R2 and A2 exactly 3000 ms
        {
            GatewayState state;
            RecordingLog log;
            JournalKeeper keeper(state, log);
            keeper.apply(journal, config);
            QVERIFY(keeper.settle()); // an answer waits for the PLC
            QCOMPARE(state.sendQueue, QStringList{QStringLiteral("R2")});
            QCOMPARE(state.receiveQueue, QStringList{QStringLiteral("A2")});
            const QStringList records = journalRecords(log);
            QCOMPARE(records.size(), 3);
            QVERIFY2(records[0].startsWith(QLatin1String("Journal: dropped request")) &&
                         records[0].endsWith(QLatin1String(": R1")) &&
                         !records[0].contains(QLatin1String("on the wire")),
                     qPrintable(records[0]));
            QVERIFY2(records[1].startsWith(QLatin1String("Journal: replayed request")) &&
                         !records[1].contains(QLatin1String("on the wire")),
                     qPrintable(records[1]));
            QVERIFY2(
                records[2].startsWith(QLatin1String("Journal: replayed answer")) &&
                    records[2].contains(QLatin1String("on the wire when the gateway stopped (the PLC may "
                                                      "have it): A2")),
                qPrintable(records[2]));
            QCOMPARE(state.counters.replayedItems(), quint64(2));
            QCOMPARE(std::as_const(state.counters).dropped(LineCounters::Drop::EarlierRun), quint64(1));
            // Dies again before serving anything.
        }
        {
            // The replayed items are found again, neither of them on the wire any more; this run
            // serves both.
            GatewayState state;
            RecordingLog log;
            JournalKeeper keeper(state, log);
            keeper.apply(journal, config);
            QVERIFY(keeper.settle());
            const QStringList records = journalRecords(log);
            QCOMPARE(records.size(), 2);
            QVERIFY2(!records.join('\n').contains(QLatin1String("on the wire")),
                     qPrintable(records.join('\n')));
            state.dropFirstSend();
            state.dropFirstAnswer();
        }
        {
            GatewayState state;
            RecordingLog log;
            JournalKeeper keeper(state, log);
            keeper.apply(journal, config);
            QVERIFY(!keeper.settle());
            QVERIFY(journalRecords(log).isEmpty() && state.sendQueue.isEmpty() &&
                    state.receiveQueue.isEmpty());
            state.queueSend(QStringLiteral("R3"));
        }
        // The clock was stepped back since R3 was taken: its age is unknown, and it is not sent
        // again.
        clock.setNow(clock.now().addSecs(-60));
        GatewayState state;
        RecordingLog log;
        JournalKeeper keeper(state, log);
        keeper.apply(journal, config);
        QVERIFY(!keeper.settle());
        QVERIFY(state.sendQueue.isEmpty());
        const QStringList records = journalRecords(log);
        QVERIFY2(records.size() == 1 && records[0].startsWith(QLatin1String("Journal: dropped request")),
                 qPrintable(records.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestJournalKeeper)
#include "TestJournalKeeper.moc"
