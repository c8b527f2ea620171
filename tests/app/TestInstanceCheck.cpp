#include "app/InstanceCheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestInstanceCheck : public QObject
{
    Q_OBJECT

private slots:
    void instancesOfOneProgramSeeEachOtherButNotTheCrashed()
    {
        QTemporaryDir dir;
        const QString program = QStringLiteral("/opt/kavetta/kavetta");
        auto first = std::make_unique<InstanceCheck>(dir.path(), program, QStringLiteral("1"));
        QVERIFY(first->holdsOwnLock());
        QVERIFY(!first->anotherInstanceRunning());
        InstanceCheck otherProgram(dir.path(), QStringLiteral("/opt/other/kavetta"), QStringLiteral("2"));
        QVERIFY(!first->anotherInstanceRunning());

        // What a killed process leaves behind: its lock file naming a pid that no longer runs.
        QString staleName = QDir(dir.path()).entryList({QStringLiteral("*-1.lock")}).value(0);
        staleName.replace(QStringLiteral("-1.lock"), QStringLiteral("-3.lock"));
        QFile stale(dir.filePath(staleName));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("2147483000\nkavetta\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        stale.close();

        InstanceCheck second(dir.path(), program, QStringLiteral("4"));
        QVERIFY(second.anotherInstanceRunning());
        QVERIFY(first->anotherInstanceRunning()); // the first learns of the second too
        first.reset();
        QVERIFY(!second.anotherInstanceRunning());
        QVERIFY(!stale.exists());
    }
};

QTEST_MAIN(TestInstanceCheck)
#include "TestInstanceCheck.moc"
