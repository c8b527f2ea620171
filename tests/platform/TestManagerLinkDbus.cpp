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
#include <QProcess>
#include <QThread>

#include <QtTest>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace
{

const QString kTitle = u"Line1 Socket-Server"_s;
const QString kClient = u"Socket  / Line1 Socket-Server"_s;

QString managerProgram()
{
    QByteArray dir = qgetenv("KAVETTA_BINARY_DIR");
    if (dir.isEmpty())
        dir = KAVETTA_BINARY_DIR;
    return QString::fromLocal8Bit(dir) + u"/tools/manager/manager"_s;
}

// The manager stand-in's command line, run without blocking this thread: the gateway side of the
// test must go on answering the manager's calls meanwhile.
struct Cli {
    int exitCode = -1;
    QString out, err;
};

Cli runCli(const QStringList &args)
{
    QProcess p;
    p.start(managerProgram(), args);
    Cli r;
    if (!p.waitForStarted(5000) ||
        !QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, 20000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

bool nameOwned(const QString &name)
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value();
}

// A manager that owns the name on its own connection and thread, records what it gets, and
// answers as told: properly, never, with the wrong types, or with an error.
class FakeManager : public QDBusVirtualObject
{
public:
    enum Mode { Proper, Hang, Garbage, Failing };

    std::atomic<Mode> mode = Proper;
    std::atomic<int> prevInstance = 0;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &m, const QDBusConnection &bus) override
    {
        {
            QMutexLocker lock(&m_mutex);
            m_received << m;
        }
        switch (mode.load()) {
        case Hang:
            return true;
        case Garbage:
            bus.send(m.createReply(QVariant(u"many"_s)));
            return true;
        case Failing:
            bus.send(m.createErrorReply(u"projHollenby.Error.Busy"_s, u"Manager busy"_s));
            return true;
        case Proper:
            break;
        }
        if (m.member() == u"PrevInstance"_s) {
            bus.send(m.createReply(QVariant::fromValue(uint(prevInstance.load()))));
        } else if (m.member() == u"Connect"_s) {
            auto params = qdbus_cast<managerbus::Parameters>(m.arguments().value(4));
            params.insert(u"Slot"_s, u"3"_s);
            bus.send(m.createReply(
                {0, QVariant::fromValue(QDBusObjectPath(u"/managed/cb"_s)), QVariant::fromValue(params)}));
        } else {
            bus.send(m.createReply(QVariant(0)));
        }
        return true;
    }
    QList<QDBusMessage> received()
    {
        QMutexLocker lock(&m_mutex);
        return m_received;
    }
    QStringList members()
    {
        QStringList names;
        std::ranges::transform(received(), std::back_inserter(names), &QDBusMessage::member);
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
    void initTestCase()
    {
        QVERIFY2(QFileInfo(managerProgram()).isExecutable(), qPrintable(managerProgram()));
    }

    void withoutManagerTheTrayIconStandsIn()
    {
        QVERIFY(!nameOwned(managerbus::service));
        Gateway gw;
        QCOMPARE(gw.link.connectManagerLink(kTitle), int(ManagerLink::NoManager));
        QCOMPARE(gw.desktop.calls,
                 QStringList{u"addTrayIcon:Socket  / Line1 Socket-Server  Socket-Server"_s});
        QVERIFY(!gw.link.linked() && gw.desktop.messages.isEmpty());
        gw.link.disconnectManagerLink();
        QCOMPARE(gw.desktop.calls.last(), u"removeTrayIcon"_s);

        // No session bus at all: the same, without a word.
        QDBusConnection none = QDBusConnection::connectToBus(u"unix:path=/nonexistent/bus"_s, u"none"_s);
        QVERIFY(!none.isConnected());
        Gateway alone(none);
        QCOMPARE(alone.link.connectManagerLink(kTitle), int(ManagerLink::NoManager));
        QVERIFY(alone.desktop.trayIconShown && alone.desktop.messages.isEmpty());

        // The tip field holds 64 characters; a longer tip is cut there.
        const QString longTitle = u"Verpackungslinie-Nord-Halle-7 Socket-Server"_s;
        const QString tip = DbusManagerLink::trayTip(longTitle);
        QCOMPARE(tip.size(), 64);
        QCOMPARE(tip, (u"Socket  / "_s + longTitle + u"  Socket-Server"_s).left(64));
    }

    void managerStandInKeepsClientsAndRunsTheirCommands()
    {
        QProcess manager; // "manager serve"
        manager.start(managerProgram(), {u"serve"_s});
        QVERIFY(QTest::qWaitFor([] { return nameOwned(managerbus::service); }, 5000));
        const Cli second = runCli({u"serve"_s});
        QCOMPARE(second.exitCode, 1);
        QVERIFY(second.err.contains(u"taken"_s));

        Gateway line1;
        QCOMPARE(line1.link.connectManagerLink(kTitle), int(ManagerLink::Registered));
        QVERIFY(line1.link.linked() && line1.desktop.calls.isEmpty() && line1.desktop.messages.isEmpty());
        QCOMPARE(line1.link.parameters().value(u"ClientClass"_s), u"projKavetta.clsCallBack"_s);

        // A second instance of the same module, on a connection of its own: the manager knows it.
        QDBusConnection bus2 = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"gateway2"_s);
        {
            Gateway twin(bus2);
            QCOMPARE(twin.link.connectManagerLink(kTitle), int(ManagerLink::AlreadyRunning));
            QVERIFY(!twin.link.linked() && twin.desktop.calls.isEmpty());
        }
        auto line2 = std::make_unique<Gateway>(bus2);
        line2->state.configFile = u"/plant/Server/Line2.zelb"_s;
        QCOMPARE(line2->link.connectManagerLink(u"Line2 Socket-Server"_s), int(ManagerLink::Registered));

        const Cli list = runCli({u"list"_s});
        QCOMPARE(list.exitCode, 0);
        QCOMPARE(list.out, kClient + u"\t/plant/Server/Kavetta.zelb\t"_s +
                               QDBusConnection::sessionBus().baseService() + u"\n"_s +
                               u"Socket  / Line2 Socket-Server\t/plant/Server/Line2.zelb\t"_s +
                               bus2.baseService() + u"\n"_s);

        // Commands by part of the name; each reaches only its own client.
        QCOMPARE(runCli({u"start"_s, u"line1"_s}).exitCode, 0);
        QCOMPARE(runCli({u"restart"_s, u"Line1"_s}).exitCode, 0);
        QCOMPARE(line1.starts, 1);
        QCOMPARE(line1.stops + line2->starts + line2->stops, 0);
        QVERIFY(runCli({u"stop"_s, u"Line9"_s}).err.contains(u"no client \"Line9\""_s));
        QVERIFY(runCli({u"stop"_s, u"Socket"_s}).err.contains(u"names 2 clients"_s));

        // Stop: the gateway unloads from inside the call, which disconnects it.
        line1.onStop = [&line1] { line1.link.disconnectManagerLink(); };
        const Cli stop = runCli({u"stop"_s, kClient});
        QCOMPARE(stop.exitCode, 0);
        QCOMPARE(line1.stops, 1);
        QVERIFY(!line1.link.linked());
        QCOMPARE(line1.desktop.calls, QStringList{u"removeTrayIcon"_s});
        QCOMPARE(runCli({u"list"_s}).out.count(u'\n'), 1);
        QCOMPARE(runCli({u"start"_s, u"Line1"_s}).exitCode, 1); // gone from the manager

        // A client whose connection ends without a word is forgotten as well.
        line2.reset();
        bus2 = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(u"gateway2"_s);
        QByteArray events;
        QTRY_VERIFY((events += manager.readAllStandardOutput()).contains("vanished name=\"Socket  / Line2"));
        QCOMPARE(runCli({u"list"_s}).out, QString());

        // A manager that goes away while a gateway runs: the unload goes through quickly and quietly.
        Gateway line3;
        QCOMPARE(line3.link.connectManagerLink(u"Line3 Socket-Server"_s), int(ManagerLink::Registered));
        manager.kill();
        manager.waitForFinished();
        QTRY_VERIFY(!nameOwned(managerbus::service));
        QElapsedTimer t;
        t.start();
        line3.link.disconnectManagerLink();
        QVERIFY(t.elapsed() < line3.link.callTimeout());
        QVERIFY(line3.desktop.messages.isEmpty());
    }

    void connectCarriesWhatTheManagerNeedsAndTakesBackItsAnswer()
    {
        FakeManagerOnBus m;
        Gateway gw;
        QCOMPARE(gw.link.connectManagerLink(kTitle), int(ManagerLink::Registered));
        QCOMPARE(m.fake.members(), (QStringList{u"PrevInstance"_s, u"Connect"_s}));
        const QDBusMessage prev = m.fake.received().at(0);
        QCOMPARE(prev.arguments(), QVariantList{kClient});
        const QDBusMessage c = m.fake.received().at(1);
        QCOMPARE(c.signature(), u"sasasoa{ss}"_s);
        QCOMPARE(c.arguments().at(0).toString(), kClient);
        QCOMPARE(c.arguments().at(1).toStringList(), (QStringList{u"Start"_s, u"Stop"_s, u"Restart"_s}));
        QCOMPARE(c.arguments().at(2).toStringList(),
                 (QStringList{u"serverStart"_s, u"serverStop"_s, u"serverRestart"_s}));
        QCOMPARE(qvariant_cast<QDBusObjectPath>(c.arguments().at(3)).path(), u"/clsCallBack"_s);
        const managerbus::Parameters sent{{u"ClientClass"_s, u"projKavetta.clsCallBack"_s},
                                          {u"ClientPath"_s, u"/plant/Server/Kavetta.zelb"_s}};
        QCOMPARE(qdbus_cast<managerbus::Parameters>(c.arguments().at(4)), sent);
        // The manager's answer replaces what was passed.
        QCOMPARE(gw.link.callbackPath(), u"/managed/cb"_s);
        QCOMPARE(gw.link.parameters().value(u"Slot"_s), u"3"_s);
        QVERIFY(gw.desktop.calls.isEmpty());

        // The exported callback object answers by its class name; Restart does nothing.
        for (const QString &procedure : {u"serverStart"_s, u"serverRestart"_s, u"serverStop"_s}) {
            const QDBusMessage call = QDBusMessage::createMethodCall(
                QDBusConnection::sessionBus().baseService(), managerbus::callbackPath,
                managerbus::callbackClass, procedure);
            QDBusPendingCall pending = m.bus.asyncCall(call, 5000);
            QTRY_VERIFY(pending.isFinished());
            QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));
        }
        QCOMPARE(gw.starts, 1);
        QCOMPARE(gw.stops, 1);

        gw.link.disconnectManagerLink();
        QCOMPARE(m.fake.members().last(), u"Disconnect"_s);
        // Once dropped, the callback object is not reachable any more.
        QDBusPendingCall late = m.bus.asyncCall(QDBusMessage::createMethodCall(
            QDBusConnection::sessionBus().baseService(), managerbus::callbackPath, managerbus::callbackClass,
            u"serverStart"_s));
        QTRY_VERIFY(late.isFinished());
        QVERIFY(late.isError());
        QCOMPARE(gw.starts, 1);

        // Any positive count of another instance, whatever its integer type, ends this one.
        m.fake.prevInstance = 2;
        Gateway twin;
        QCOMPARE(twin.link.connectManagerLink(kTitle), int(ManagerLink::AlreadyRunning));
        QCOMPARE(m.fake.members().last(), u"PrevInstance"_s);

        // An empty title never asks the manager.
        const qsizetype asked = m.fake.received().size();
        Gateway untitled;
        QCOMPARE(untitled.link.connectManagerLink(QString()), int(ManagerLink::NoManager));
        QVERIFY(untitled.desktop.trayIconShown);
        QCOMPARE(m.fake.received().size(), asked);
    }

    void aManagerThatHangsOrTalksNonsenseIsShownOnce_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("message");
        QTest::newRow("hangs") << int(FakeManager::Hang) << u"Error Init SysIcon Did not receive a reply"_s;
        QTest::newRow("garbage") << int(FakeManager::Garbage)
                                 << u"Error Init SysIcon Unexpected answer from the server manager "
                                    u"(signature \"s\")"_s;
        QTest::newRow("error") << int(FakeManager::Failing) << u"Error Init SysIcon Manager busy"_s;
    }
    void aManagerThatHangsOrTalksNonsenseIsShownOnce()
    {
        QFETCH(int, mode);
        QFETCH(QString, message);
        FakeManagerOnBus m;
        m.fake.mode = FakeManager::Mode(mode);
        Gateway gw;
        gw.link.setCallTimeout(300);
        QElapsedTimer t;
        t.start();
        // A failed PrevInstance counts as 0, so Connect is tried; its failure is the one shown.
        QCOMPARE(gw.link.connectManagerLink(kTitle), int(ManagerLink::Registered));
        QVERIFY(t.elapsed() < 5000); // far below the bus's own 25 s
        QCOMPARE(m.fake.members(), (QStringList{u"PrevInstance"_s, u"Connect"_s}));
        QCOMPARE(gw.desktop.messages.size(), 1);
        QVERIFY2(gw.desktop.messages.first().box.text.startsWith(message),
                 qPrintable(gw.desktop.messages.first().box.text));
        QVERIFY(gw.desktop.messages.first().box.systemModal);
        QVERIFY(!gw.desktop.trayIconShown);

        t.restart();
        gw.link.disconnectManagerLink();
        QVERIFY(t.elapsed() < 5000);
        QCOMPARE(m.fake.members().last(), u"Disconnect"_s);
        QCOMPARE(gw.desktop.messages.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestManagerLinkDbus)
#include "TestManagerLinkDbus.moc"
