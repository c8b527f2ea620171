#include "platform/ServiceNotifier.h"

#include "NotifySocket.h"

#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace
{

struct Environment {
    Environment(const QByteArray &notifySocket, const QByteArray &watchdogUsec, const QByteArray &watchdogPid)
    {
        set("NOTIFY_SOCKET", notifySocket);
        set("WATCHDOG_USEC", watchdogUsec);
        set("WATCHDOG_PID", watchdogPid);
    }
    ~Environment()
    {
        qunsetenv("NOTIFY_SOCKET");
        qunsetenv("WATCHDOG_USEC");
        qunsetenv("WATCHDOG_PID");
    }
    static void set(const char *name, const QByteArray &value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
};

QByteArray ownPid()
{
    return QByteArray::number(qint64(::getpid()));
}

} // namespace

class TestServiceNotifier : public QObject
{
    Q_OBJECT
private slots:
    void outsideAServiceEveryCallIsANoOp()
    {
        const Environment env({}, "30000000", ownPid());
        ServiceNotifier notifier;
        QVERIFY(!notifier.underServiceManager());
        QVERIFY(!notifier.ready());
        QVERIFY(!notifier.watchdog());
        QVERIFY(!notifier.status(u"Line1: Port Connected"_s));
        QVERIFY(!notifier.reloading());
        QVERIFY(!notifier.stopping());
    }

    void notificationsReachTheServiceManager()
    {
        NotifySocket manager;
        QVERIFY(manager.bound());
        const Environment env(manager.path(), {}, {});
        ServiceNotifier notifier;
        QVERIFY(notifier.underServiceManager());
        QVERIFY(!notifier.watchdogRequested());

        QVERIFY(notifier.ready());
        // No watchdog asked for: nothing is sent, not even on every tick.
        QVERIFY(!notifier.watchdog());
        QVERIFY(notifier.status(u"Line1 \u00e4\r\nREADY=1\tX\0Y"_s));
        QVERIFY(notifier.reloading());
        QVERIFY(notifier.ready());
        QVERIFY(notifier.stopping());
        QCOMPARE(manager.take(), (QList<QByteArray>{"READY=1", "STATUS=Line1 \xc3\xa4  READY=1 X Y",
                                                    "RELOADING=1", "READY=1", "STOPPING=1"}));
    }

    void watchdogOnlyWhenTheUnitAskedForItForThisProcess()
    {
        NotifySocket manager;
        {
            const Environment env(manager.path(), "20000000", ownPid());
            ServiceNotifier notifier;
            QVERIFY(notifier.watchdogRequested());
            QCOMPARE(notifier.watchdogInterval(), std::chrono::seconds(20));
            QVERIFY(notifier.watchdog());
            QVERIFY(notifier.watchdog());
            QCOMPARE(manager.take(), (QList<QByteArray>{"WATCHDOG=1", "WATCHDOG=1"}));
        }
        {
            // Asked for another process (a parent that started the gateway): not ours to feed.
            const Environment env(manager.path(), "20000000", ownPid() + "0");
            ServiceNotifier notifier;
            QVERIFY(!notifier.watchdogRequested());
            QVERIFY(!notifier.watchdog());
            QVERIFY(manager.take().isEmpty());
        }
    }

    void aVanishedServiceManagerIsHarmless()
    {
        QTemporaryDir dir;
        const Environment env(dir.filePath(u"gone"_s).toLocal8Bit(), "1000000", ownPid());
        ServiceNotifier notifier;
        QVERIFY(notifier.underServiceManager());
        QVERIFY(!notifier.ready());
        QVERIFY(!notifier.watchdog());
        QVERIFY(!notifier.stopping());
    }
};

QTEST_GUILESS_MAIN(TestServiceNotifier)
#include "TestServiceNotifier.moc"
