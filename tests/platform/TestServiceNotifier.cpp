#include "platform/ServiceNotifier.h"

#include "NotifySocket.h"

#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace
{

const QByteArray ownPid = QByteArray::number(qint64(::getpid()));

void setEnvironment(const QByteArray &socket, const QByteArray &usec = {}, const QByteArray &pid = {})
{
    const std::pair<const char *, QByteArray> vars[] = {
        {"NOTIFY_SOCKET", socket}, {"WATCHDOG_USEC", usec}, {"WATCHDOG_PID", pid}};
    for (const auto &[name, value] : vars)
        value.isNull() ? void(qunsetenv(name)) : void(qputenv(name, value));
}

} // namespace

class TestServiceNotifier : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { setEnvironment({}); }

    // Outside a service, or with the manager's socket gone, every call fails quietly.
    void withoutAServiceManagerNothingIsSent()
    {
        setEnvironment({}, "30000000", ownPid);
        ServiceNotifier outside;
        QVERIFY(!outside.underServiceManager() && !outside.ready() && !outside.watchdog());
        QVERIFY(!outside.status(u"Line1: Port Connected"_s) && !outside.reloading() && !outside.stopping());

        QTemporaryDir dir;
        setEnvironment(dir.filePath(u"gone"_s).toLocal8Bit(), "1000000", ownPid);
        ServiceNotifier vanished;
        QVERIFY(vanished.underServiceManager());
        QVERIFY(!vanished.ready() && !vanished.watchdog() && !vanished.stopping());
    }

    void notificationsAndTheWatchdogReachTheServiceManager()
    {
        NotifySocket manager;
        QVERIFY(manager.bound());
        setEnvironment(manager.path());
        ServiceNotifier notifier;
        QVERIFY(notifier.underServiceManager() && !notifier.watchdogRequested());
        QVERIFY(notifier.ready());
        QVERIFY(!notifier.watchdog()); // not asked for: nothing goes out
        QVERIFY(notifier.status(u"Line1 \u00e4\r\nREADY=1\tX\0Y"_s));
        QVERIFY(notifier.stopping());
        QCOMPARE(manager.take(),
                 (QList<QByteArray>{"READY=1", "STATUS=Line1 \xc3\xa4  READY=1 X Y", "STOPPING=1"}));

        // Asked for another process (a parent that started the gateway): not ours to feed.
        setEnvironment(manager.path(), "20000000", ownPid + "0");
        QVERIFY(!ServiceNotifier().watchdogRequested() && !ServiceNotifier().watchdog());
        setEnvironment(manager.path(), "20000000", ownPid);
        ServiceNotifier watched;
        QCOMPARE(watched.watchdogInterval(), std::chrono::seconds(20));
        QVERIFY(watched.watchdog() && watched.watchdog());
        QCOMPARE(manager.take(), (QList<QByteArray>{"WATCHDOG=1", "WATCHDOG=1"}));
    }
};

QTEST_GUILESS_MAIN(TestServiceNotifier)
#include "TestServiceNotifier.moc"
