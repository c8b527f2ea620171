#include "RecordingLog.h"
#include "TestClock.h"

#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "labels/MdbPrintData.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

class TestPrintData : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    GatewayState m_state;
    RecordingLog m_log;
    MdbPrintData m_lookup{m_state, m_log};

    // Puts the bytes at serverPath/System/prog.mdb and looks up L1/7 there.
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
        m_state.serverPath = m_dir.path();
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("System")));
        m_log.records.clear();
    }

    void looksUpLikeThePlantsEngine()
    {
        QCOMPARE(lookUpIn(fixture("prog.mdb")), QStringLiteral("A=1\nB=x=y"));
        QString big;
        for (int i = 0; i < 200; ++i)
            big += QStringLiteral("K%1=W%1abcdefghijklmnopqrst\n").arg(i, 3, 10, QLatin1Char('0'));
        // lot|part|print data; "l1" and "uml" differ from the stored lots in letter case only
        const QStringList cases = {
            "l1|7|A=1\nB=x=y", "L4711|3|ARTIKEL=4711-3\nCHARGE=C-2026-12\nDATUM=05.12.2026", "L2|1|X=second",
            "L3|2|P=first", "CRLF|1|A=1\r\nB=2", "uml|1|TEXT=Grüße aus Köln \u2013 5 \u20AC", "BIG|1|" + big,
            "NEG|-5|N=negative", "TRAIL|1|A=1\n", "NULLMEMO|1|", "L1|8|", "L9|1|", "NEG|5|",
            // a quote breaks the statement: nothing is found
            "L1'|7|", "'L1|7|", "L1' or LosName='L4711|7|", "L1''|7|"};
        // Nothing of the library reaches the terminal, and repeated lookups let the sanitizer
        // build see any memory that the library keeps.
        QTemporaryFile err;
        QVERIFY(err.open());
        const int saved = dup(STDERR_FILENO);
        dup2(err.handle(), STDERR_FILENO);
        for (int round = 0; round < 20; ++round)
            for (const QString &c : cases)
                QCOMPARE(m_lookup.getDruckData(c.section('|', 0, 0), qint16(c.section('|', 1, 1).toShort())),
                         c.section('|', 2));
        dup2(saved, STDERR_FILENO);
        close(saved);
        QCOMPARE(err.readAll(), QByteArray());
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

    void onlyADatabaseThatCannotBeOpenedIsReported()
    {
        const TestClock clock;
        const QString expected = statusLine("Error open Database:" + m_dir.path() + "/System/prog.mdb");
        const QByteArray prog = fixture("prog.mdb");
        for (const QByteArray &bytes :
             {QByteArray(), QByteArray("no database"), prog.left(2048), prog.left(8000)})
            QCOMPARE(lookUpIn(bytes), QString());
        QFile::remove(m_lookup.databasePath());
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QString()); // missing
        QCOMPARE(m_log.records, (QList<QPair<QString, bool>>(5, {expected, false})));
        QCOMPARE(m_state.lblError, expected);

        // Opened, but nothing to find there: no message.
        m_log.records.clear();
        m_state.lblError.clear();
        for (const QByteArray &bytes : {fixture("empty.mdb"), fixture("notable.mdb"), prog.left(60000)})
            QCOMPARE(lookUpIn(bytes), QString());
        QVERIFY(m_log.records.isEmpty() && m_state.lblError.isEmpty());
    }

    // The database stays open between lookups once its file has stood still; whatever happens
    // to the file afterwards is seen at the next lookup.
    void noticesAChangedOrVanishedDatabase()
    {
        const QByteArray prog = fixture("prog.mdb");
        QCOMPARE(lookUpIn(prog), QStringLiteral("A=1\nB=x=y"));
        QTest::qWait(2200);
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QStringLiteral("A=1\nB=x=y"));

        QByteArray changed = prog; // the memo is stored compressed, one byte a character
        QVERIFY(changed.contains("\xFF\xFE"
                                 "A=1\nB=x=y"));
        changed.replace("\xFF\xFE"
                        "A=1\nB=x=y",
                        "\xFF\xFE"
                        "A=1\nB=x=z");
        QFile inPlace(m_lookup.databasePath()); // same file, same size
        QVERIFY(inPlace.open(QIODevice::ReadWrite) && inPlace.write(changed) == changed.size());
        inPlace.close();
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QStringLiteral("A=1\nB=x=z"));

        QTest::qWait(2200);
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QStringLiteral("A=1\nB=x=z"));
        const QString other = m_dir.filePath(QStringLiteral("other.mdb"));
        QFile::remove(other);
        QVERIFY(QFile::copy(QStringLiteral(KAVETTA_TEST_DATA "/labels/prog.mdb"), other));
        QVERIFY(::rename(QFile::encodeName(other).constData(),
                         QFile::encodeName(m_lookup.databasePath()).constData()) == 0);
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QStringLiteral("A=1\nB=x=y"));

        QTest::qWait(2200);
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QStringLiteral("A=1\nB=x=y"));
        QVERIFY(QFile::remove(m_lookup.databasePath()));
        QCOMPARE(m_lookup.getDruckData(QStringLiteral("L1"), 7), QString());
        QCOMPARE(m_log.records.size(), 1);
        QVERIFY(m_log.records[0].first.endsWith("Error open Database:" + m_lookup.databasePath()));
    }
};

QTEST_GUILESS_MAIN(TestPrintData)
#include "TestPrintData.moc"
