#include "RecordingLog.h"
#include "TestClock.h"

#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "labels/MdbPrintData.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestPrintData : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    GatewayState m_state;
    RecordingLog m_log;
    MdbPrintData m_lookup{m_state, m_log};

    // Puts the bytes at settings.serverPath/System/prog.mdb and looks up L1/7 there.
    QString lookUpIn(const QByteArray &bytes)
    {
        QFile out(m_lookup.databasePath());
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
            return QStringLiteral("not installed");
        out.close();
        return m_lookup.getDruckData(QStringLiteral("L1"), 7);
    }
    static QByteArray fixture(const char *name)
    {
        QFile f(QStringLiteral(KAVETTA_TEST_DATA "/labels/") + QLatin1String(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        m_state.settings.serverPath = m_dir.path();
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("System")));
        m_log.records.clear();
    }

    void looksUpLikeThePlantsEngine()
    {
        QCOMPARE(lookUpIn(fixture("prog.mdb")), QStringLiteral("A=1\nB=x=y"));
        QString big;
        for (int i = 0; i < 200; ++i)
            big += QStringLiteral("K%1=W%1abcdefghijklmnopqrst\n").arg(i, 3, 10, QLatin1Char('0'));
        // lot|part|print data; "l1" and "uml" differ from the stored lots in letter case only; a
        // quote breaks the statement: nothing is found
        for (const QString c : {"l1|7|A=1\nB=x=y", "L2|1|X=second", "L3|2|P=first", "CRLF|1|A=1\r\nB=2",
                                "uml|1|TEXT=Grüße aus Köln \u2013 5 \u20AC", "NEG|-5|N=negative",
                                "NULLMEMO|1|", "L1|8|", "L1' or LosName='L4711|7|"})
            QCOMPARE(m_lookup.getDruckData(c.section('|', 0, 0), qint16(c.section('|', 1, 1).toShort())),
                     c.section('|', 2));
        QVERIFY(m_log.records.isEmpty());

        // Lines of the long memo turned into euro signs (three UTF-8 bytes each) take it past the
        // 16383 bytes where the library cuts a memo without a word unless it is told otherwise.
        const auto utf16 = [](const QString &t) {
            return QByteArray(reinterpret_cast<const char *>(t.utf16()), t.size() * 2);
        };
        const QString euros = QString(4, QChar(0x20AC)) + "=" + QString(24, QChar(0x20AC));
        QByteArray patched = fixture("prog.mdb");
        QStringList lines = big.split(QLatin1Char('\n'));
        for (QString &line : lines) // a line split over pages stays as it is
            if (const qsizetype at = line.isEmpty() ? -1 : patched.indexOf(utf16(line)); at >= 0)
                patched.replace(at, line.size() * 2, utf16(line = euros));
        QCOMPARE(lookUpIn(patched), QStringLiteral("A=1\nB=x=y"));
        const QString memo = lines.join(QLatin1Char('\n'));
        QVERIFY(memo.toUtf8().size() > 16383);
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("BIG"), 1), memo);
    }

    // A file that is no database is reported, one that opens with nothing to find is not. A
    // database stays open between lookups once its file has stood still; whatever happens to the
    // file afterwards is seen at the next lookup.
    void noticesAnUnreadableChangedOrVanishedDatabase()
    {
        const TestClock clock;
        const QString expected = statusLine("Error open Database:" + m_lookup.databasePath());
        QByteArray changed = fixture("prog.mdb");
        QCOMPARE(lookUpIn(changed.left(8000)), QString());
        QVERIFY(m_state.lblError == expected &&
                m_log.records == (QList<QPair<QString, bool>>{{expected, false}}));
        QCOMPARE(lookUpIn(fixture("notable.mdb")), QString());
        QCOMPARE(lookUpIn(changed), QStringLiteral("A=1\nB=x=y"));
        QTest::qWait(2200);
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QStringLiteral("A=1\nB=x=y"));

        // The memo is stored compressed, one byte a character; same file, same size.
        QVERIFY(changed.contains("\xFF\xFE\x41=1\nB=x=y"));
        changed.replace("\xFF\xFE\x41=1\nB=x=y", "\xFF\xFE\x41=1\nB=x=z");
        QFile inPlace(m_lookup.databasePath());
        QVERIFY(inPlace.open(QIODevice::ReadWrite) && inPlace.write(changed) == changed.size());
        inPlace.close();
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QStringLiteral("A=1\nB=x=z"));

        QTest::qWait(2200);
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QStringLiteral("A=1\nB=x=z"));
        QVERIFY(QFile::remove(m_lookup.databasePath()));
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QString());
        QCOMPARE(m_log.records, (QList<QPair<QString, bool>>(2, {expected, false})));
    }
};

QTEST_GUILESS_MAIN(TestPrintData)
#include "TestPrintData.moc"
