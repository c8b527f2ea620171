// Runs under a session bus of its own (dbus-run-session, see tests/CMakeLists.txt). What the real
// manager does with the link is in TestHostEndToEndDbus; here the managers it does not ship.
#include "FakeDesktopServices.h"

#include "common/GatewayState.h"
#include "platform/DbusManagerLink.h"

#include <QtDBus>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{

const QString kTitle = u"Line1 Socket-Server"_s;

// A manager that never answers: it is on a connection of its own, whose calls this thread takes
// only after the gateway has stopped waiting.
struct FakeManager : QDBusVirtualObject {
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake-manager"_s);
    FakeManager()
    {
        bus.registerVirtualObject(managerbus::path, this);
        bus.registerService(managerbus::service);
    }
    ~FakeManager() override { QDBusConnection::disconnectFromBus(bus.name()); }
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override { return true; }
};

struct Gateway {
    GatewayState state;
    FakeDesktopServices desktop;
    DbusManagerLink link{state, desktop, {[] {}, [] {}}, QDBusConnection::sessionBus()};
};

} // namespace

class TestManagerLinkDbus : public QObject
{
    Q_OBJECT

private slots:
    void withoutAManagerOrWithOneThatHangs()
    {
        // Nobody owns the manager's name: the tray icon stands in, and goes with the unload.
        Gateway gw;
        QCOMPARE(gw.link.connectManagerLink(kTitle), int(ManagerLink::NoManager));
        gw.link.disconnectManagerLink();
        QCOMPARE(gw.desktop.calls, (QStringList{u"addTrayIcon:Socket  / Line1 Socket-Server  Socket-Server"_s,
                                                u"removeTrayIcon"_s}));
        // No session bus at all: the same, without a word.
        GatewayState state;
        FakeDesktopServices desktop;
        DbusManagerLink alone(state, desktop, {[] {}, [] {}},
                              QDBusConnection::connectToBus(u"unix:path=/nonexistent/bus"_s, u"none"_s));
        QCOMPARE(alone.connectManagerLink(kTitle), int(ManagerLink::NoManager));
        QVERIFY(desktop.trayIconShown && desktop.messages.isEmpty() && gw.desktop.messages.isEmpty());

        // A manager that hangs: PrevInstance counts as 0, so Connect is tried; its failure is shown
        // once, well before the bus's own 25 s.
        FakeManager manager;
        Gateway linked;
        linked.link.setCallTimeout(300);
        const QDeadlineTimer limit(5000);
        QCOMPARE(linked.link.connectManagerLink(kTitle), int(ManagerLink::Registered));
        linked.link.disconnectManagerLink();
        QVERIFY(!limit.hasExpired() && !linked.desktop.trayIconShown);
        const QStringList shown = linked.desktop.messageTexts();
        QVERIFY2(shown.size() == 1 &&
                     shown.first().startsWith(u"Error Init SysIcon Did not receive a reply"_s),
                 qPrintable(shown.join(u'\n')));
        QVERIFY(linked.desktop.messages.first().box.systemModal);

        // The tip field holds 64 characters; a longer tip is cut there.
        const QString longTitle = u"Verpackungslinie-Nord-Halle-7 Socket-Server"_s;
        QCOMPARE(DbusManagerLink::trayTip(longTitle),
                 (u"Socket  / "_s + longTitle + u"  Socket-Server"_s).left(64));
    }
};

QTEST_GUILESS_MAIN(TestManagerLinkDbus)
#include "TestManagerLinkDbus.moc"
