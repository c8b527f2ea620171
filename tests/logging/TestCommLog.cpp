#include "FakeDesktopServices.h"
#include "TestClock.h"

#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "logging/CommLog.h"
#include "logging/EventLog.h"
#include "logging/LogBackup.h"
#include "messages/MsgList.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{

struct CountingGuard : FreeSpaceGuard {
    QList<bool> reports;
    void checkFreeSpace(bool report) override { reports << report; }
};

void writeFile(const QString &path, qint64 size, const QDateTime &modified = {})
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(size, 'a')) == size && f.flush());
    if (modified.isValid())
        QVERIFY(f.setFileTime(modified, QFileDevice::FileModificationTime));
}

struct Rig {
    QTemporaryDir dir;
    TestClock clock{QDateTime(QDate(2026, 12, 5), QTime(10, 0, 0, 120))};
    GatewayState state;
    FakeDesktopServices desktop;
    EventLog events{state, dir.filePath(u"events.log"_s)};
    MsgList messages{state, events, desktop};
    CountingGuard guard;
    LogBackup backup{state, desktop, guard, dir.path()};
    CommLog log{state, messages, backup, events};

    Rig()
    {
        state.modulName = u"K1"_s;
        state.logFileName = dir.filePath(u"Socketcomm-K1-.dat"_s);
    }
    QString bak(const char *name) const { return dir.filePath(u"BAB-K1-bak/"_s) + QLatin1String(name); }
    static qint64 sizeOf(const QString &p) { return QFileInfo::exists(p) ? QFileInfo(p).size() : -1; }
    QStringList entries() const
    {
        QFile f(events.filePath());
        QStringList out;
        if (f.open(QIODevice::ReadOnly))
            for (QString entry; !f.atEnd() && EventLog::decodeFileLine(f.readLine(), nullptr, &entry);)
                out << entry;
        return out;
    }
};

} // namespace

class TestCommLog : public QObject
{
    Q_OBJECT
private slots:
    void recordsAndEventLogEntries()
    {
        Rig rig;
        rig.log.writeLog(u"05.12.26 10:00:00 Verbunden \u20ac\u00e4\u00df"_s, true);
        rig.log.writeLog(QString(), true);
        rig.log.writeLog(u"au\u00dfer \u4e2d"_s, false);
        QFile file(rig.state.logFileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("05.12.26 10:00:00 Verbunden \x80\xe4\xdf\r\r\n\r\r\nau\xdf"
                                            "er ?\r\r\n"));
        // Only the record that was not for the file alone goes to the list (one more follows below).
        QCOMPARE(std::pair(rig.messages.first()->meldetext, rig.messages.first()->meldeArt),
                 std::pair(u"au\u00dfer \u4e2d"_s, 1));
        QVERIFY(rig.entries().value(2).contains(u"<Msg>Kavetta / K1 / au\u00dfer ?</Msg>"_s));

        // Switched off for lack of space: no file access, but the list and the event log.
        rig.state.logEnabled = false;
        rig.log.writeLog(u"kein Platz"_s, true);
        QCOMPARE(Rig::sizeOf(rig.state.logFileName), qint64(47));
        QCOMPARE(rig.messages.count(), 2);

        // Entries on another day: one line each, whatever the message holds.
        rig.clock.setNow(QDateTime(QDate(2026, 3, 4), QTime(7, 8, 9)));
        const QString msg = u"a <b> & </Msg>\r\nnext \\ end"_s;
        const QString entry = u"<User>Kavetta</User>  <Area>K1</Area>  <Msg>Kavetta / K1 / "_s + msg +
                              u"</Msg>  <Date>"_s + shortDateText(QDate(2026, 3, 4)) + u"</Date>  <Time>"_s +
                              longTimeText(QTime(7, 8, 9)) + u"</Time>  "_s;
        qint16 types[] = {3, 1, 2, 0};
        for (qint16 &t : types)
            rig.events.writeAppLogEvent(msg, t);
        QCOMPARE(QList<qint16>(std::begin(types), std::end(types)), (QList<qint16>{4, 1, 2, 4}));
        QCOMPARE(rig.entries().mid(4),
                 QStringList(4, entry)); // after one entry per record, also the empty one

        rig.state.modulName.clear();
        QVERIFY(rig.events.entryText(u"x"_s).contains(u"<Area></Area>  <Msg>Kavetta /  / x<"_s));
        const QString cut = rig.events.entryText(QString(100000, u'm'));
        QCOMPARE(cut.size(), EventLog::kMaxEntryLength + 3);
        QVERIFY(cut.endsWith(u"mmm..."_s));
    }

    void oneQuestionMarkPerCharacterBeyondSixteenBits()
    {
        Rig rig;
        // Two characters of two UTF-16 units each, then lone halves: a high one before a pair,
        // a low one, and a high one at the very end. Each of them is one character, one "?".
        const QString text = u"a\U0001F600b\U0010FFFF\U0001F600c"_s + QChar(0xD800) + u"\U0001F600d"_s +
                             QChar(0xDC00) + u"\u20ac"_s + QChar(0xDBFF);
        rig.log.writeLog(text, true);
        QFile file(rig.state.logFileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("a?b??c??d?\x80?\r\r\n"));
        QVERIFY(rig.entries().value(0).contains(u"<Msg>Kavetta / K1 / a?b??c??d?\u20ac?</Msg>"_s));
    }

    void failedWritesGoToLastCommOnly_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("logOnly");
        QTest::addColumn<QString>("hundredths");
        // The hundredths (0.12 s past 10:00:00) are taken only once the file is open and the
        // record is for the file alone.
        QTest::newRow("vanished folder") << u"gone/x.dat"_s << true << QString();
        QTest::newRow("file is a folder") << u"."_s << true << QString();
        QTest::newRow("full disk, log only") << u"/dev/full"_s << true << u"12"_s;
        QTest::newRow("full disk, to the list") << u"/dev/full"_s << false << QString();
    }
    void failedWritesGoToLastCommOnly()
    {
        QFETCH(QString, target);
        QFETCH(bool, logOnly);
        QFETCH(QString, hundredths);
        if (target.startsWith(u'/') && !QFile::exists(target))
            QSKIP("no /dev/full here");
        Rig rig;
        rig.state.logFileName = target.startsWith(u'/') ? target : rig.dir.filePath(target);
        rig.log.writeLog(u"Satz 1"_s, logOnly);
        const QString head = u"Letzte Kummunikation "_s + shortDateText(QDate(2026, 12, 5)) + u' ' +
                             longTimeText(QTime(10, 0, 0)) + hundredths + u": Satz 1 Error:"_s;
        QVERIFY2(rig.state.lblLastComm.startsWith(head), qPrintable(rig.state.lblLastComm));
        QVERIFY(rig.state.lblLastComm.size() > head.size()); // the failure's description
        QVERIFY(rig.messages.isEmpty());
        // One error entry for the whole run of failures, naming the file; one with their number
        // once a record is written again.
        rig.log.writeLog(u"Satz 2"_s, logOnly);
        QCOMPARE(rig.entries().size(), 1);
        QVERIFY(rig.entries().value(0).contains(rig.state.logFileName + u" cannot be written"_s));
        QCOMPARE(rig.log.lostRecords(), 2u);
        rig.state.logFileName = rig.dir.filePath(u"ok.dat"_s);
        rig.log.writeLog(u"Satz 3"_s, true);
        rig.log.writeLog(u"Satz 4"_s, true);
        const QStringList again = rig.entries().filter(u"is written again"_s);
        QCOMPARE(again.size(), 1);
        QVERIFY(again[0].contains(u"is written again: 2 records could not be written"_s));
    }

    // The event log's own file: a run of failures is told to the journal once and counted.
    void eventLogFileFailures()
    {
        QTemporaryDir dir;
        GatewayState state;
        EventLog events(state, dir.filePath(u"later/events.log"_s));
        events.writeAppLogEvent(u"E1"_s);
        events.writeAppLogEvent(u"E2"_s);
        QVERIFY(QDir(dir.path()).mkdir(u"later"_s));
        events.writeAppLogEvent(u"E3"_s);
        QFile file(events.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QVERIFY2(lines.value(0).startsWith("2 ") && lines.value(0).contains("2 entries could not be written"),
                 lines.value(0));
        QVERIFY(lines.value(1).contains("E3"));
        QCOMPARE(events.lostEntries(), 2u);
    }

    void rotationAndCleanUp()
    {
        Rig rig;
        rig.backup.killOldBakFiles(); // no folder yet: still the check
        // 62 records of 1000 + 3 bytes and one of 1811 + 3 make exactly 64000 bytes.
        const auto fill = [&](int records) {
            for (int i = 0; i < records; ++i)
                rig.log.writeLog(QString(i < 62 ? 1000 : 1811, u'k'), true);
        };
        fill(63);
        rig.log.writeLog(QString(), true); // the backup holding all of it proves no earlier rotation
        QCOMPARE(Rig::sizeOf(rig.state.logFileName), qint64(0));
        QCOMPARE(Rig::sizeOf(rig.bak("20261205-100000.dat")), qint64(64003));

        // A second rotation within the same second replaces that backup; a megabyte is one record.
        rig.log.writeLog(QString(1 << 20, u'm'), false);
        QCOMPARE(Rig::sizeOf(rig.bak("20261205-100000.dat")), qint64((1 << 20) + 3));
        QCOMPARE(rig.entries().constLast().size(), EventLog::kMaxEntryLength + 3);

        // Whoever else makes the file grow, here a second gateway with the same module name, the
        // append that takes it past the limit rotates it: the live file never holds more than
        // the limit (records of 1000 bytes, so 64000 stays and 65000 is rotated).
        QCOMPARE(Rig::sizeOf(rig.state.logFileName), qint64(0));
        CommLog second{rig.state, rig.messages, rig.backup, rig.events};
        qint64 largest = 0;
        for (int i = 0; i < 200; ++i) {
            (i % 2 ? second : rig.log).writeLog(QString(997, u'z'), true);
            largest = qMax(largest, Rig::sizeOf(rig.state.logFileName));
        }
        QCOMPARE(largest, qint64(64000));
        QCOMPARE(Rig::sizeOf(rig.state.logFileName), qint64(200 % 65 * 1000));

        QVERIFY(QDir(rig.bak("")).removeRecursively());
        writeFile(rig.dir.filePath(u"BAB-K1-bak"_s), 1); // a file where the folder belongs
        writeFile(rig.state.logFileName, 64001);
        rig.backup.buildBackup();
        rig.backup.buildBackup(); // one box at a time
        QCOMPARE(Rig::sizeOf(rig.state.logFileName), qint64(64001));
        QCOMPARE(rig.desktop.messages.size(), 1);
        rig.desktop.answer(DesktopServices::Answer::Ok);
        rig.backup.buildBackup();
        QCOMPARE(rig.desktop.messages.size(), 2);

        QVERIFY(QFile::remove(rig.dir.filePath(u"BAB-K1-bak"_s)) && QDir().mkpath(rig.bak("")));
        const QDateTime now = rig.clock.now();
        // b: 366 day boundaries though under 366 * 24 h ago; d: 365 though over 365 * 24 h ago.
        writeFile(rig.bak("a.dat"), 1, now.addDays(-365));
        writeFile(rig.bak("b.dat"), 1, QDateTime(now.date().addDays(-366), QTime(23, 59)));
        writeFile(rig.bak("c.txt"), 1, now.addDays(-400));
        writeFile(rig.bak("d.dat"), 1, QDateTime(now.date().addDays(-365), QTime(0, 0, 1)));
        QFile::setPermissions(rig.bak("c.txt"), QFileDevice::ReadOwner);
        QVERIFY(QDir().mkdir(rig.bak("old-folder")));
        rig.backup.killOldBakFiles();
        QCOMPARE(QDir(rig.bak("")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{u"a.dat"_s, u"d.dat"_s, u"old-folder"_s}));
        QCOMPARE(rig.guard.reports, (QList<bool>{false, false}));
    }
};

QTEST_GUILESS_MAIN(TestCommLog)
#include "TestCommLog.moc"
