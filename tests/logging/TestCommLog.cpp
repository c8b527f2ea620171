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

struct NoGuard : FreeSpaceGuard {
    void checkFreeSpace(bool) override {}
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
    NoGuard guard;
    LogBackup backup{state, desktop, guard, dir.path()};
    CommLog log{state, messages, backup, events};

    Rig()
    {
        state.settings.moduleName = u"K1"_s;
        state.logFileName = dir.filePath(u"Socketcomm-K1-.dat"_s);
    }
    QString bak(const char *name) const { return dir.filePath(u"BAB-K1-bak/"_s) + QLatin1String(name); }
    static qint64 sizeOf(const QString &p) { return QFileInfo::exists(p) ? QFileInfo(p).size() : -1; }
    QStringList entries(QList<qint16> *types = nullptr) const
    {
        QFile f(events.filePath());
        QStringList out;
        qint16 type = 0;
        if (f.open(QIODevice::ReadOnly))
            for (QString entry; !f.atEnd() && EventLog::decodeFileLine(f.readLine(), &type, &entry);) {
                out << entry;
                if (types)
                    *types << type;
            }
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
        // A character of two UTF-16 units, and a lone half, are one "?" each.
        rig.log.writeLog(u"a\U0001F600b"_s + QChar(0xDC00) + u"\u20ac"_s + QChar(0xDBFF), true);
        QFile file(rig.state.logFileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("05.12.26 10:00:00 Verbunden \x80\xe4\xdf\r\r\n\r\r\nau\xdf"
                                            "er ?\r\r\na?b?\x80?\r\r\n"));
        // Only the record that was not for the file alone goes to the list (one more follows below).
        QCOMPARE(std::pair(rig.messages.first()->meldetext, rig.messages.first()->meldeArt),
                 std::pair(u"au\u00dfer \u4e2d"_s, 1));
        QVERIFY(rig.entries().value(2).contains(u"<Msg>Kavetta / K1 / au\u00dfer ?</Msg>"_s));
        QVERIFY(rig.entries().value(3).contains(u"<Msg>Kavetta / K1 / a?b?\u20ac?</Msg>"_s));

        // Switched off for lack of space: no file access, but the list and the event log.
        rig.state.logEnabled = false;
        rig.log.writeLog(u"kein Platz"_s, true);
        QVERIFY(Rig::sizeOf(rig.state.logFileName) == 56 && rig.messages.count() == 2);

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
        QCOMPARE(rig.entries().mid(5), QStringList(4, entry)); // after one entry per record
        const QString cut = rig.events.entryText(QString(100000, u'm'));
        QCOMPARE(cut.size(), EventLog::kMaxEntryLength + 3);
        QVERIFY(cut.endsWith(u"mmm..."_s));
    }

    void failedWritesGoToLastCommOnly()
    {
        Rig rig;
        rig.state.logFileName = rig.dir.filePath(u"gone/x.dat"_s); // a vanished folder
        rig.log.writeLog(u"Satz 1"_s, true);
        const QString head = u"Letzte Kummunikation "_s + shortDateText(QDate(2026, 12, 5)) + u' ' +
                             longTimeText(QTime(10, 0, 0)) + u": Satz 1 Error:"_s;
        QVERIFY2(rig.state.lblLastComm.startsWith(head), qPrintable(rig.state.lblLastComm));
        QVERIFY(rig.state.lblLastComm.size() > head.size() && rig.messages.isEmpty()); // with the reason
        // One error entry for the whole run of failures, naming the file; one with their number
        // once a record is written again.
        rig.log.writeLog(u"Satz 2"_s, false);
        QCOMPARE(rig.entries().size(), 1);
        QVERIFY(rig.entries().value(0).contains(rig.state.logFileName + u" cannot be written"_s));
        rig.state.logFileName = rig.dir.filePath(u"ok.dat"_s);
        rig.log.writeLog(u"Satz 3"_s, true);
        rig.log.writeLog(u"Satz 4"_s, true);
        const QStringList again = rig.entries().filter(u"is written again"_s);
        QVERIFY(again.size() == 1 &&
                again[0].contains(u"is written again: 2 records could not be written"_s));
    }

    // A dropped item: one record in the file, a warning (not an information entry) in the event
    // log, nothing for the operator's list; while the file cannot be written the warning still
    // reaches the event log.
    void dropsAreWarningsEvenWithoutTheFile()
    {
        Rig rig;
        rig.log.writeDrop(u"Request dropped after a socket error (refused): job 1"_s);
        QFile file(rig.state.logFileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("Request dropped after a socket error (refused): job 1\r\r\n"));
        QList<qint16> types;
        QStringList entries = rig.entries(&types);
        QVERIFY(entries.size() == 1 && entries[0].contains(u"job 1"_s) && rig.messages.isEmpty());
        QCOMPARE(types, QList<qint16>{EventLog::Warning});

        rig.state.logFileName = rig.dir.filePath(u"gone/x.dat"_s);
        rig.log.writeDrop(u"job 2"_s);
        types.clear();
        entries = rig.entries(&types);
        QCOMPARE(entries.size(), 3); // the file's failure, then the drop
        QVERIFY(entries[2].contains(u"/ job 2</Msg>"_s) && types[2] == EventLog::Warning);
    }

    // An error of the printer connection: its record as before, a warning entry, and where
    // journald takes the entries, fields that select it (the id stays the same from release to
    // release: alert rules and saved journalctl queries name it).
    void peerErrorsCarryFieldsForTheJournal()
    {
        Rig rig;
        rig.state.settings.remoteHost = u"10.0.0.9"_s;
        rig.state.settings.remotePort = u"9100"_s;
        rig.log.writePeerError(u"Winsock Error  Winsock1\r\nConnection refused"_s, true,
                               u"Connection refused"_s);
        QList<qint16> types;
        QVERIFY(rig.entries(&types).value(0).contains(u"Winsock Error"_s) && types == QList<qint16>{2});
        QCOMPARE(
            rig.events.journalRecord(u"entry"_s, EventLog::Warning,
                                     {EventLog::kPeerErrorId, u"10.0.0.9:9100"_s, u"Connection refused"_s}),
            (QList<QByteArray>{"MESSAGE=entry", "PRIORITY=4", "SYSLOG_IDENTIFIER=Kavetta",
                               "KAVETTA_INSTANCE=K1", "MESSAGE_ID=d53164d5d18b4677a46ae94b5bfe6bd4",
                               "KAVETTA_PEER=10.0.0.9:9100", "KAVETTA_REASON=Connection refused"}));
        QCOMPARE(rig.events.journalRecord(u"e"_s, EventLog::Error, {}).value(1), QByteArray("PRIORITY=3"));
    }

    void rotationAndCleanUp()
    {
        Rig rig;
        // 62 records of 1000 + 3 bytes and one of 1811 + 3 make exactly 64000 bytes.
        for (int i = 0; i < 63; ++i)
            rig.log.writeLog(QString(i < 62 ? 1000 : 1811, u'k'), true);
        rig.log.writeLog(QString(), true); // the backup holding all of it proves no earlier rotation
        QCOMPARE(Rig::sizeOf(rig.state.logFileName), qint64(0));
        QCOMPARE(Rig::sizeOf(rig.bak("20261205-100000.dat")), qint64(64003));

        // Whoever else makes the file grow, here a second gateway with the same module name, the
        // append that takes it past the limit rotates it: the live file never holds more than
        // the limit (records of 1000 bytes, so 64000 stays and 65000 is rotated).
        CommLog second{rig.state, rig.messages, rig.backup, rig.events};
        qint64 largest = 0;
        for (int i = 0; i < 130; ++i) {
            (i % 2 ? second : rig.log).writeLog(QString(997, u'z'), true);
            largest = qMax(largest, Rig::sizeOf(rig.state.logFileName));
        }
        QCOMPARE(largest, qint64(64000));

        QVERIFY(QDir(rig.bak("")).removeRecursively());
        writeFile(rig.dir.filePath(u"BAB-K1-bak"_s), 1); // a file where the folder belongs
        writeFile(rig.state.logFileName, 64001);
        rig.backup.buildBackup();
        rig.backup.buildBackup(); // one box at a time
        QVERIFY(Rig::sizeOf(rig.state.logFileName) == 64001 && rig.desktop.messages.size() == 1);

        QVERIFY(QFile::remove(rig.dir.filePath(u"BAB-K1-bak"_s)) && QDir().mkpath(rig.bak("")));
        const QDateTime now = rig.clock.now();
        // b: 366 day boundaries though under 366 * 24 h ago; d: 365 though over 365 * 24 h ago.
        writeFile(rig.bak("b.dat"), 1, QDateTime(now.date().addDays(-366), QTime(23, 59)));
        writeFile(rig.bak("d.dat"), 1, QDateTime(now.date().addDays(-365), QTime(0, 0, 1)));
        rig.backup.killOldBakFiles();
        QCOMPARE(QDir(rig.bak("")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{u"d.dat"_s});
    }
};

QTEST_GUILESS_MAIN(TestCommLog)
#include "TestCommLog.moc"
