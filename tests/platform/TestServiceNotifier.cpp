// The program's own use of the notifications (ready, reloading, stopping, the watchdog) is in
// TestGatewayCore; here what it must not send.
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
    void onlyWhatTheServiceManagerAskedFor()
    {
        // Outside a service, or with the manager's socket gone, every call fails quietly.
        setEnvironment({}, "30000000", ownPid);
        ServiceNotifier outside;
        QVERIFY(!outside.underServiceManager() && !outside.ready() && !outside.watchdog());
        QTemporaryDir dir;
        setEnvironment(dir.filePath(u"gone"_s).toLocal8Bit(), "1000000", ownPid);
        QVERIFY(!ServiceNotifier().ready());

        NotifySocket manager;
        QVERIFY(manager.bound());
        setEnvironment(manager.path());
        ServiceNotifier notifier;
        QVERIFY(!notifier.watchdog()); // not asked for: nothing goes out
        QVERIFY(notifier.status(u"Line1 \u00e4\r\nREADY=1\tX\0Y"_s));
        QCOMPARE(manager.take(), QList<QByteArray>{"STATUS=Line1 \xc3\xa4  READY=1 X Y"});

        // Asked for another process (a parent that started the gateway): not ours to feed.
        setEnvironment(manager.path(), "20000000", ownPid + "0");
        QVERIFY(!ServiceNotifier().watchdog());
        setEnvironment(manager.path(), "20000000", ownPid);
        QCOMPARE(ServiceNotifier().watchdogInterval(), std::chrono::seconds(20));
        setEnvironment({});
    }
};

QTEST_GUILESS_MAIN(TestServiceNotifier)
#include "TestServiceNotifier.moc"
