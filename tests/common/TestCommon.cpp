#include "FakeSocketEndpoint.h"
#include "RecordingLog.h"
#include "TestClock.h"
#include "common/Cp1252.h"
#include "common/GatewayState.h"
#include "common/StatusLine.h"

#include <QTest>

class TestCommon : public QObject
{
    Q_OBJECT

private slots:
    void codecKeepsBytesAndUmlauts()
    {
        QCOMPARE(cp1252::encode(QStringLiteral("€äß")), QByteArray("\x80\xE4\xDF"));
        QCOMPARE(cp1252::encode(QStringLiteral("Ω")), QByteArray("?"));
        // A text of byte values goes out as exactly those bytes, including the C1 range.
        QString bytes;
        QByteArray expected;
        for (int b = 0; b < 256; ++b) {
            bytes.append(QChar(b));
            expected.append(static_cast<char>(b));
        }
        QCOMPARE(cp1252::encode(bytes), expected);
        // Decoding is the inverse for every byte.
        QCOMPARE(cp1252::encode(cp1252::decode(expected)), expected);
        QCOMPARE(cp1252::decode(QByteArray("\x80\x81\x9F")),
                 QString(QChar(0x20AC)) + QChar(0x81) + QChar(0x178));
    }

    void tickCountAdvancesInMilliseconds()
    {
        const quint32 a = tickCount();
        QTest::qSleep(20);
        const quint32 elapsed = tickCount() - a;
        QVERIFY(elapsed >= 15 && elapsed < 5000);
    }

    void statusReportsFollowTheLevel()
    {
        TestClock clock(QDateTime(QDate(2026, 12, 5), QTime(9, 5, 7)));
        const QString line = statusLine(QStringLiteral("Hello"));
        QVERIFY2(line.endsWith(QStringLiteral(" 09:05:07 Hello")), qPrintable(line));
        QVERIFY(!line.contains(QStringLiteral("CET")));

        GatewayState state;
        RecordingLog log;
        reportStatus(state, log, QStringLiteral("off"));
        QVERIFY(log.records.isEmpty());
        QVERIFY(state.lblError.isEmpty());

        state.chkStatus = 1;
        reportStatus(state, log, QStringLiteral("one"));
        state.chkStatus = 2;
        reportStatus(state, log, QStringLiteral("two"));
        state.chkStatus = 0;
        reportStatus(state, log, QStringLiteral("forced"), true);
        QCOMPARE(log.records.size(), 3);
        QVERIFY(log.records[0].second);
        QVERIFY(!log.records[1].second);
        QVERIFY(log.records[2].second);
        QCOMPARE(state.lblError, log.records[2].first);
    }

    void stateTextsCoverEveryState()
    {
        QCOMPARE(SocketEndpoint::stateText(0), QStringLiteral("Port Closed"));
        QCOMPARE(SocketEndpoint::stateText(7), QStringLiteral("Port Connected"));
        QCOMPARE(SocketEndpoint::stateText(9), QStringLiteral("Port Error"));
        QCOMPARE(SocketEndpoint::stateText(10), QString());
        QCOMPARE(SocketEndpoint::stateText(-1), QString());
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "TestCommon.moc"
