// Runs under a session bus of its own (dbus-run-session, see tests/CMakeLists.txt).
#include "FakeDesktopServices.h"

#include "common/GatewayState.h"
#include "platform/DbusManagerLink.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QMutex>
#include <QThread>

#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{

const QString kTitle = u"Line1 Socket-Server"_s;
const QString kClient = u"Socket  / Line1 Socket-Server"_s;

// A manager on a connection and thread of its own: records what it gets and answers as told.
class FakeManager : public QDBusVirtualObject
{
public:
    enum Mode { Proper, Hang, Garbage, Failing };
    std::atomic<Mode> mode = Proper;
    std::atomic<uint> prevInstance = 0;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &m, const QDBusConnection &bus) override
    {
        QMutexLocker lock(&m_mutex);
        m_received << m;
        if (mode == Garbage)
            bus.send(m.createReply(QVariant(u"many"_s)));
        else if (mode == Failing)
            bus.send(m.createErrorReply(u"projHollenby.Error.Busy"_s, u"Manager busy"_s));
        else if (mode == Proper)
            bus.send(answer(m));
        return true;
    }
    QDBusMessage answer(const QDBusMessage &m) const
    {
        if (m.member() == u"PrevInstance"_s)
            return m.createReply(QVariant::fromValue(prevInstance.load()));
        if (m.member() != u"Connect"_s)
            return m.createReply(QVariant(0));
        auto params = qdbus_cast<managerbus::Parameters>(m.arguments().value(4));
        params.insert(u"Slot"_s, u"3"_s);
        return m.createReply(
            {0, QVariant::fromValue(QDBusObjectPath(u"/managed/cb"_s)), QVariant::fromValue(params)});
    }
    QList<QDBusMessage> received()
    {
        QMutexLocker lock(&m_mutex);
        return m_received;
    }
    QStringList members()
    {
        QStringList names;
        for (const QDBusMessage &m : received())
            names << m.member();
        return names;
    }

private:
    QMutex m_mutex;
    QList<QDBusMessage> m_received;
};

struct FakeManagerOnBus {
    QThread thread;
    FakeManager fake;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake-manager"_s);

    FakeManagerOnBus()
    {
        managerbus::registerTypes();
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
    // The manager calling the gateway's exported callback object.
    QDBusPendingCall callBack(const QString &procedure)
    {
        return bus.asyncCall(QDBusMessage::createMethodCall(QDBusConnection::sessionBus().baseService(),
                                                            managerbus::callbackPath,
                                                            managerbus::callbackClass, procedure),
                             5000);
    }
};

struct Gateway {
    GatewayState state;
    FakeDesktopServices desktop;
    int starts = 0, stops = 0;
    std::function<void()> onStop;
    DbusManagerLink link;

    explicit Gateway(const QDBusConnection &bus = QDBusConnection::sessionBus())
        : link(state, desktop,
               {[this] { ++starts; },
                [this] {
                    ++stops;
                    if (onStop)
                        onStop();
                }},
               bus)
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

    void connectCarriesWhatTheManagerNeedsAndTakesBackItsAnswer()
    {
        FakeManagerOnBus m;
        Gateway gw;
        QCOMPARE(gw.link.connectManagerLink(kTitle), int(ManagerLink::Registered));
        QCOMPARE(m.fake.members(), (QStringList{u"PrevInstance"_s, u"Connect"_s}));
        QCOMPARE(m.fake.received().at(0).arguments(), QVariantList{kClient});
        const QVariantList c = m.fake.received().at(1).arguments();
        QCOMPARE(m.fake.received().at(1).signature(), u"sasasoa{ss}"_s);
        QCOMPARE(c.at(0).toString(), kClient);
        QCOMPARE(c.at(1).toStringList(), (QStringList{u"Start"_s, u"Stop"_s, u"Restart"_s}));
        QCOMPARE(c.at(2).toStringList(),
                 (QStringList{u"serverStart"_s, u"serverStop"_s, u"serverRestart"_s}));
        QCOMPARE(qvariant_cast<QDBusObjectPath>(c.at(3)).path(), u"/clsCallBack"_s);
        QCOMPARE(qdbus_cast<managerbus::Parameters>(c.at(4)),
                 (managerbus::Parameters{{u"ClientClass"_s, u"projKavetta.clsCallBack"_s},
                                         {u"ClientPath"_s, u"/plant/Server/Kavetta.zelb"_s}}));
        // The manager's answer replaces what was passed.
        QCOMPARE(gw.link.callbackPath(), u"/managed/cb"_s);
        QCOMPARE(gw.link.parameters().value(u"Slot"_s), u"3"_s);
        QVERIFY(gw.desktop.calls.isEmpty());

        // The exported callback object answers by its class name; Restart does nothing.
        for (const QString &procedure : {u"serverStart"_s, u"serverRestart"_s, u"serverStop"_s}) {
            QDBusPendingCall pending = m.callBack(procedure);
            QTRY_VERIFY(pending.isFinished());
            QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));
        }
        QCOMPARE(gw.starts, 1);
        QCOMPARE(gw.stops, 1);

        // Once disconnected, the callback object is not reachable any more.
        gw.link.disconnectManagerLink();
        QCOMPARE(m.fake.members().last(), u"Disconnect"_s);
        QDBusPendingCall late = m.callBack(u"serverStart"_s);
        QTRY_VERIFY(late.isFinished());
        QVERIFY(late.isError() && gw.starts == 1);

        // Any positive count of another instance ends this one; an empty title never asks.
        m.fake.prevInstance = 2;
        Gateway twin;
        QCOMPARE(twin.link.connectManagerLink(kTitle), int(ManagerLink::AlreadyRunning));
        QCOMPARE(m.fake.members().last(), u"PrevInstance"_s);
        const qsizetype asked = m.fake.received().size();
        Gateway untitled;
        QCOMPARE(untitled.link.connectManagerLink(QString()), int(ManagerLink::NoManager));
        QVERIFY(untitled.desktop.trayIconShown);
        QCOMPARE(m.fake.received().size(), asked);
    }

    // A failed PrevInstance counts as 0, so Connect is tried; its failure is shown once, well
    // before the bus's own 25 s.
    void aManagerThatHangsOrTalksNonsenseIsShownOnce()
    {
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
            QCOMPARE(m.fake.members(), (QStringList{u"PrevInstance"_s, u"Connect"_s}));
            QCOMPARE(gw.desktop.messages.size(), 1);
            QVERIFY2(gw.desktop.messages.first().box.text.startsWith(message),
                     qPrintable(gw.desktop.messages.first().box.text));
            QVERIFY(gw.desktop.messages.first().box.systemModal && !gw.desktop.trayIconShown);
            gw.link.disconnectManagerLink();
            QVERIFY(t.elapsed() < 5000);
            QCOMPARE(m.fake.members().last(), u"Disconnect"_s);
            QCOMPARE(gw.desktop.messages.size(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestManagerLinkDbus)
#include "TestManagerLinkDbus.moc"
