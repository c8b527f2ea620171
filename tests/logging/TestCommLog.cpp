#include "FakeDesktopServices.h"
#include "TestClock.h"

#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "logging/CommLog.h"
#include "logging/EventLog.h"
#include "logging/LogBackup.h"
#include "messages/MsgList.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

struct CountingGuard : FreeSpaceGuard {
    QList<bool> reports;
    void checkFreeSpace(bool report) override { reports << report; }
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, qint64 size, const QDateTime &modified = {})
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(f.write(QByteArray(size, 'a')) == size);
    QVERIFY(f.flush());
    if (modified.isValid())
        QVERIFY(f.setFileTime(modified, QFileDevice::FileModificationTime));
}

qint64 sizeOf(const QString &path)
{
    return QFileInfo::exists(path) ? QFileInfo(path).size() : -1;
}

struct Rig {
    QTemporaryDir dir;
    TestClock clock{QDateTime(QDate(2026, 12, 5), QTime(10, 0, 0, 120))};
    GatewayState state;
    FakeDesktopServices desktop;
    EventLog events{state, dir.filePath(QStringLiteral("events.log"))};
    MsgList messages{state, events, desktop};
    CountingGuard guard;
    LogBackup backup{state, desktop, guard, dir.path()};
    CommLog log{state, messages, backup, events};

    Rig()
    {
        state.modulName = QStringLiteral("K1");
        state.applicationTitle = QStringLiteral("K1 Socket-Server");
        state.logFileName = dir.filePath(QStringLiteral("Socketcomm-K1-.dat"));
    }
    QString bak(const char *name) const
    {
        return dir.filePath(QStringLiteral("BAB-K1-bak/")) + QLatin1String(name);
    }
    QStringList entries() const
    {
        QStringList out;
        QFile f(events.filePath());
        if (f.open(QIODevice::ReadOnly)) {
            QString entry;
            while (!f.atEnd() && EventLog::decodeFileLine(f.readLine(), nullptr, &entry))
                out << entry;
        }
        return out;
    }
};

} // namespace

class TestCommLog : public QObject
{
    Q_OBJECT
private slots:
    void recordsAndWhereTheyGo()
    {
        Rig rig;
        rig.log.writeLog(QStringLiteral("05.12.26 10:00:00 Verbunden \u20ac\u00e4\u00df"), true);
        rig.log.writeLog(QString(), true);
        rig.log.writeLog(QStringLiteral("au\u00dfer \u4e2d"), false);
        QCOMPARE(readAll(rig.state.logFileName),
                 QByteArray("05.12.26 10:00:00 Verbunden \x80\xe4\xdf\r\r\n\r\r\nau\xdf"
                            "er ?\r\r\n"));
        QCOMPARE(rig.messages.count(), 1); // only the record that was not for the file alone
        QCOMPARE(rig.messages.first()->meldetext, QStringLiteral("au\u00dfer \u4e2d"));
        QCOMPARE(rig.messages.first()->meldeArt, 1);
        QCOMPARE(rig.entries().size(), 3);
        QVERIFY(rig.entries().at(2).contains(QStringLiteral("<Msg>Kavetta / K1 / au\u00dfer ?</Msg>")));

        // Switched off for lack of space: no file access, but the list and the event log.
        rig.state.logEnabled = false;
        rig.log.writeLog(QStringLiteral("kein Platz"), true);
        QCOMPARE(sizeOf(rig.state.logFileName), qint64(47));
        QCOMPARE(rig.messages.count(), 2);
        QCOMPARE(rig.entries().size(), 4);
    }

    void failedWritesGoToLastCommOnly_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("logOnly");
        QTest::addColumn<QString>("hundredths");
        // The hundredths (0.12 s past 10:00:00) are taken only once the file is open and the
        // record is for the file alone.
        QTest::newRow("vanished folder") << QStringLiteral("gone/x.dat") << true << QString();
        QTest::newRow("file is a folder") << QStringLiteral("folder") << true << QString();
        QTest::newRow("full disk, log only") << QStringLiteral("/dev/full") << true << QStringLiteral("12");
        QTest::newRow("full disk, to the list") << QStringLiteral("/dev/full") << false << QString();
    }
    void failedWritesGoToLastCommOnly()
    {
        QFETCH(QString, target);
        QFETCH(bool, logOnly);
        QFETCH(QString, hundredths);
        if (target.startsWith(QLatin1Char('/')) && !QFile::exists(target))
            QSKIP("no /dev/full here");
        Rig rig;
        QVERIFY(QDir(rig.dir.path()).mkdir(QStringLiteral("folder")));
        rig.state.logFileName = target.startsWith(QLatin1Char('/')) ? target : rig.dir.filePath(target);

        rig.log.writeLog(QStringLiteral("Satz 1"), logOnly);

        const QString head = QStringLiteral("Letzte Kummunikation ") + shortDateText(QDate(2026, 12, 5)) +
                             QLatin1Char(' ') + longTimeText(QTime(10, 0, 0)) + hundredths +
                             QStringLiteral(": Satz 1 Error:");
        QVERIFY2(rig.state.lblLastComm.startsWith(head), qPrintable(rig.state.lblLastComm));
        QVERIFY(rig.state.lblLastComm.size() > head.size()); // the failure's description
        QVERIFY(rig.entries().isEmpty());
        QVERIFY(rig.messages.isEmpty());
    }

    void rotationPastTheLimit()
    {
        Rig rig;
        // 62 records of 1000 + 3 bytes and one of 1811 + 3 make exactly 64000 bytes.
        const auto fill = [&] {
            for (int i = 0; i < 62; ++i)
                rig.log.writeLog(QString(1000, QLatin1Char('k')), true);
            rig.log.writeLog(QString(1811, QLatin1Char('e')), true);
        };
        fill();
        QCOMPARE(sizeOf(rig.state.logFileName), qint64(64000));
        QVERIFY(!QFileInfo::exists(rig.bak("")));
        rig.log.writeLog(QString(), true);
        QCOMPARE(sizeOf(rig.state.logFileName), qint64(0));
        QCOMPARE(sizeOf(rig.bak("20261205-100000.dat")), qint64(64003));

        // The log deleted behind the gateway's back: no early rotation, the limit holds again.
        for (int i = 0; i < 60; ++i)
            rig.log.writeLog(QString(1000, QLatin1Char('k')), true);
        QVERIFY(QFile::remove(rig.state.logFileName));
        rig.clock.advance(1000);
        fill();
        QCOMPARE(sizeOf(rig.state.logFileName), qint64(64000));
        rig.log.writeLog(QStringLiteral("x"), true);
        QCOMPARE(sizeOf(rig.bak("20261205-100001.dat")), qint64(64004));

        // A second rotation within the same second replaces that backup; a megabyte is one record.
        rig.log.writeLog(QString(1 << 20, QLatin1Char('m')), false);
        QCOMPARE(sizeOf(rig.bak("20261205-100001.dat")), qint64((1 << 20) + 3));
        QCOMPARE(rig.entries().constLast().size(), EventLog::kMaxEntryLength + 3);
        QVERIFY(rig.desktop.messages.isEmpty());
    }

    void failedRotationShowsOneBoxAtATime()
    {
        Rig rig;
        writeFile(rig.dir.filePath(QStringLiteral("BAB-K1-bak")), 1); // a file where the folder belongs
        writeFile(rig.state.logFileName, 64001);
        rig.backup.buildBackup();
        rig.backup.buildBackup();
        QCOMPARE(sizeOf(rig.state.logFileName), qint64(64001));
        QCOMPARE(rig.desktop.messages.size(), 1);
        rig.desktop.answer(DesktopServices::Answer::Ok);
        rig.backup.buildBackup();
        QCOMPARE(rig.desktop.messages.size(), 2);
    }

    void cleanUpByCalendarDays()
    {
        Rig rig;
        rig.backup.killOldBakFiles(); // no folder yet: still the check
        QVERIFY(QDir().mkpath(rig.bak("")));
        const QDateTime now = rig.clock.now();
        const QDate today = now.date();
        // b: 366 day boundaries though under 366 * 24 h ago; d: 365 though over 365 * 24 h ago.
        writeFile(rig.bak("a.dat"), 1, now.addDays(-365));
        writeFile(rig.bak("b.dat"), 1, QDateTime(today.addDays(-366), QTime(23, 59)));
        writeFile(rig.bak("c.txt"), 1, now.addDays(-400));
        writeFile(rig.bak("d.dat"), 1, QDateTime(today.addDays(-365), QTime(0, 0, 1)));
        QFile::setPermissions(rig.bak("c.txt"), QFileDevice::ReadOwner);
        QVERIFY(QDir().mkdir(rig.bak("old-folder")));
        rig.backup.killOldBakFiles();
        QCOMPARE(
            QDir(rig.bak("")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            (QStringList{QStringLiteral("a.dat"), QStringLiteral("d.dat"), QStringLiteral("old-folder")}));
        QCOMPARE(rig.guard.reports, (QList<bool>{false, false}));
    }

    void eventLogEntries()
    {
        Rig rig;
        rig.clock.setNow(QDateTime(QDate(2026, 3, 4), QTime(7, 8, 9)));
        const QString msg = QStringLiteral("a <b> & </Msg>\r\nnext \\ end");
        const QString entry = QStringLiteral("<User>Kavetta</User>  <Area>K1</Area>  <Msg>Kavetta / K1 / ") +
                              msg + QStringLiteral("</Msg>  <Date>") + shortDateText(QDate(2026, 3, 4)) +
                              QStringLiteral("</Date>  <Time>") + longTimeText(QTime(7, 8, 9)) +
                              QStringLiteral("</Time>  ");
        QCOMPARE(rig.events.entryText(msg), entry);

        qint16 types[] = {3, 1, 2, 0};
        for (qint16 &t : types)
            rig.events.writeAppLogEvent(msg, t);
        QCOMPARE(QList<qint16>(std::begin(types), std::end(types)), (QList<qint16>{4, 1, 2, 4}));
        QCOMPARE(rig.entries(), QStringList(4, entry)); // one line each, whatever the message holds

        rig.state.modulName.clear();
        QVERIFY(rig.events.entryText(QStringLiteral("x"))
                    .contains(QStringLiteral("<Area></Area>  <Msg>Kavetta /  / x<")));
        const QString cut = rig.events.entryText(QString(100000, QLatin1Char('m')));
        QCOMPARE(cut.size(), EventLog::kMaxEntryLength + 3);
        QVERIFY(cut.endsWith(QStringLiteral("mmm...")));
    }
};

QTEST_GUILESS_MAIN(TestCommLog)
#include "TestCommLog.moc"
