#include "FakeSocketEndpoint.h"
#include "RecordingLog.h"
#include "TestClock.h"
#include "common/Cp1252.h"
#include "common/GatewayState.h"
#include "common/RequestTracker.h"
#include "common/StatusLine.h"

#include <QTest>

class TestCommon : public QObject
{
    Q_OBJECT

private slots:
    void codecKeepsBytesAndUmlauts()
    {
        QCOMPARE(cp1252::encode(QStringLiteral("€äßΩ")), QByteArray("\x80\xE4\xDF?"));
        // A text of byte values goes out as exactly those bytes, including the C1 range, and
        // decoding is the inverse for every byte.
        QString bytes;
        QByteArray expected;
        for (int b = 0; b < 256; ++b) {
            bytes.append(QChar(b));
            expected.append(static_cast<char>(b));
        }
        QCOMPARE(cp1252::encode(bytes), expected);
        QCOMPARE(cp1252::encode(cp1252::decode(expected)), expected);
        QCOMPARE(cp1252::decode(QByteArray("\x80\x81\x9F")),
                 QString(QChar(0x20AC)) + QChar(0x81) + QChar(0x178));
    }

    void statusReportsFollowTheLevel()
    {
        const quint32 a = tickCount();
        QTest::qSleep(20);
        QVERIFY(tickCount() - a >= 15 && tickCount() - a < 5000); // milliseconds

        TestClock clock(QDateTime(QDate(2026, 12, 5), QTime(9, 5, 7)));
        QVERIFY(statusLine(QStringLiteral("Hello")).endsWith(QStringLiteral(" 09:05:07 Hello")));
        GatewayState state;
        RecordingLog log;
        for (qint16 level : {qint16(0), qint16(1), qint16(2)})
            state.settings.statusReport = level, reportStatus(state, log, QString::number(level));
        state.settings.statusReport = 0;
        reportStatus(state, log, QStringLiteral("forced"), true);
        QCOMPARE(log.records.size(), 3);
        QVERIFY(log.records[0].second && !log.records[1].second && log.records[2].second);
        QCOMPARE(state.lblError, log.records[2].first);

        QCOMPARE(SocketEndpoint::stateText(9), QStringLiteral("Port Error"));
        QCOMPARE(SocketEndpoint::stateText(10), QString());
        QCOMPARE(SocketEndpoint::stateText(-1), QString());
    }

    // A peer answers in order: the oldest request still owed gets the next answer, also when a
    // newer one waits; the answer owed to a request given up on is late, and nothing of an ended
    // connection is owed any more.
    void answersReachTheRequestsTheyBelongTo()
    {
        using Arrival = RequestTracker::Arrival;
        RequestTracker tracker;
        tracker.sent(100);
        tracker.giveUp();
        tracker.sent(200);
        const RequestTracker::Ticket second = tracker.lastSent();
        tracker.sent(300);
        const RequestTracker::Ticket third = tracker.lastSent();
        QCOMPARE(tracker.lateOwed(), 1);
        QVERIFY(tracker.answerArrived() == Arrival::Late);
        QVERIFY(!tracker.answered(second) && !tracker.answered(third) && tracker.lateOwed() == 0);
        QVERIFY(tracker.answerArrived() == Arrival::Answer);
        QVERIFY(tracker.answered(second) && !tracker.answered(third));
        tracker.connectionEnded(true);
        QVERIFY(tracker.lastEndCutShort() && tracker.connectionEnds() == 1);
        QVERIFY(tracker.answerArrived() == Arrival::Unasked);
        QVERIFY(!tracker.answered(third));
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "TestCommon.moc"
