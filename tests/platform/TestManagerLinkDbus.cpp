// Runs under a session bus of its own (dbus-run-session, see tests/CMakeLists.txt). What the real
// manager does with the link is in TestHostEndToEndDbus; here the managers it does not ship.
#include "FakeDesktopServices.h"

#include "common/GatewayState.h"
#include "platform/DbusManagerLink.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QThread>

#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{

const QString kTitle = u"Line1 Socket-Server"_s;

// A manager on a connection and thread of its own that answers every call the same wrong way, or
// a count of running instances to PrevInstance.
class FakeManager : public QDBusVirtualObject
{
public:
    enum Mode { Hang, Garbage, Failing, Counting };
    std::atomic<Mode> mode = Hang;
    std::atomic<int> calls = 0;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &m, const QDBusConnection &bus) override
    {
        ++calls;
        if (mode == Garbage)
            bus.send(m.createReply(QVariant(u"many"_s)));
        else if (mode == Failing)
            bus.send(m.createErrorReply(u"projHollenby.Error.Busy"_s, u"Manager busy"_s));
        else if (mode == Counting)
            bus.send(m.createReply(QVariant(m.member() == u"PrevInstance"_s ? 2u : 0u)));
        return true;
    }
};

struct FakeManagerOnBus {
    QThread thread;
    FakeManager fake;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake-manager"_s);

    FakeManagerOnBus()
    {
        thread.start();
        fake.moveToThread(&thread);
        bus.registerVirtualObject(managerbus::path, &fake);
        bus.registerService(managerbus::service);
    }
    ~FakeManagerOnBus()
    {
        bus.unregisterService(managerbus::service);
        bus.unregisterObject(managerbus::path);
        QDBusConnection::disconnectFromBus(bus.name());
        QThread *here = QThread::currentThread();
        QMetaObject::invokeMethod(
            &fake, [this, here] { fake.moveToThread(here); }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
};

struct Gateway {
    GatewayState state;
    FakeDesktopServices desktop;
    DbusManagerLink link;

    explicit Gateway(const QDBusConnection &bus = QDBusConnection::sessionBus())
        : link(state, desktop, {[] {}, [] {}}, bus)
    {
        state.configFile = u"/plant/Server/Kavetta.zelb"_s;
    }
};

} // namespace

class TestManagerLinkDbus : public QObject
{
    Q_OBJECT

private slots:
    void withoutManagerTheTrayIconStandsIn()
    {
        QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(managerbus::service).value());
        Gateway gw;
        QCOMPARE(gw.link.connectManagerLink(kTitle), int(ManagerLink::NoManager));
        QCOMPARE(gw.desktop.calls,
                 QStringList{u"addTrayIcon:Socket  / Line1 Socket-Server  Socket-Server"_s});
        QVERIFY(!gw.link.linked() && gw.desktop.messages.isEmpty());
        gw.link.disconnectManagerLink();
        QCOMPARE(gw.desktop.calls.last(), u"removeTrayIcon"_s);

        // No session bus at all: the same, without a word.
        Gateway alone(QDBusConnection::connectToBus(u"unix:path=/nonexistent/bus"_s, u"none"_s));
        QCOMPARE(alone.link.connectManagerLink(kTitle), int(ManagerLink::NoManager));
        QVERIFY(alone.desktop.trayIconShown && alone.desktop.messages.isEmpty());

        // The tip field holds 64 characters; a longer tip is cut there.
        const QString longTitle = u"Verpackungslinie-Nord-Halle-7 Socket-Server"_s;
        QCOMPARE(DbusManagerLink::trayTip(longTitle),
                 (u"Socket  / "_s + longTitle + u"  Socket-Server"_s).left(64));
    }

    // Any positive count of another instance ends this one; an empty title never asks. A failed
    // PrevInstance counts as 0, so Connect is tried; its failure is shown once, well before the
    // bus's own 25 s.
    void aManagerThatHangsOrTalksNonsenseIsShownOnce()
    {
        {
            FakeManagerOnBus m;
            m.fake.mode = FakeManager::Counting;
            Gateway twin, untitled;
            QCOMPARE(twin.link.connectManagerLink(kTitle), int(ManagerLink::AlreadyRunning));
            QCOMPARE(m.fake.calls, 1);
            QCOMPARE(untitled.link.connectManagerLink(QString()), int(ManagerLink::NoManager));
            QVERIFY(untitled.desktop.trayIconShown && m.fake.calls == 1);
        }
        const QList<std::pair<FakeManager::Mode, QString>> modes = {
            {FakeManager::Hang, u"Error Init SysIcon Did not receive a reply"_s},
            {FakeManager::Garbage,
             u"Error Init SysIcon Unexpected answer from the server manager (signature \"s\")"_s},
            {FakeManager::Failing, u"Error Init SysIcon Manager busy"_s}};
        for (const auto &[mode, message] : modes) {
            FakeManagerOnBus m;
            m.fake.mode = mode;
            Gateway gw;
            gw.link.setCallTimeout(300);
            QElapsedTimer t;
            t.start();
            QCOMPARE(gw.link.connectManagerLink(kTitle), int(ManagerLink::Registered));
            QCOMPARE(m.fake.calls, 2); // PrevInstance, Connect
            QCOMPARE(gw.desktop.messages.size(), 1);
            QVERIFY2(gw.desktop.messages.first().box.text.startsWith(message),
                     qPrintable(gw.desktop.messages.first().box.text));
            QVERIFY(gw.desktop.messages.first().box.systemModal && !gw.desktop.trayIconShown);
            gw.link.disconnectManagerLink();
            QVERIFY(t.elapsed() < 5000);
            QCOMPARE(m.fake.calls, 3); // Disconnect
            QCOMPARE(gw.desktop.messages.size(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestManagerLinkDbus)
#include "TestManagerLinkDbus.moc"
