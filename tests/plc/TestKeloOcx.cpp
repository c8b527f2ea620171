// The PLC link against the real runtime stand-in on loopback, and against a scripted runtime
// that misbehaves.
#include "PlcSimProcess.h"
#include "plc/KeloOcx.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <atomic>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace plcproto;

namespace
{

constexpr int Bound = 300;

// A runtime on a thread of its own (the link's calls block this one) that answers the requests
// of its first connection as the steps say: each step gets the decoded request and returns the
// raw bytes to send back.
class ScriptedRuntime
{
public:
    using Step = std::function<QByteArray(const Message &)>;

    explicit ScriptedRuntime(std::vector<Step> steps) : m_steps(std::move(steps))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
        ::listen(m_listener, 4);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&sa), &len);
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~ScriptedRuntime()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    QString port() const { return QString::number(m_port); }

    static QByteArray hello(const Message &req)
    {
        Message r;
        r.type = MsgType::Hello;
        r.reply = true;
        r.seq = req.seq;
        return encode(r);
    }
    static QByteArray created(const Message &req)
    {
        Message r;
        r.type = MsgType::CreateHandle;
        r.reply = true;
        r.seq = req.seq;
        r.handle = 77;
        return encode(r);
    }

private:
    bool waitReadable(int fd)
    {
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }
    void serve()
    {
        if (!waitReadable(m_listener))
            return;
        const int fd = ::accept(m_listener, nullptr, nullptr);
        FrameReader reader;
        QByteArray body;
        for (const Step &step : m_steps) {
            while (reader.next(body) != FrameReader::Frame) {
                char buf[4096];
                if (!waitReadable(fd))
                    break;
                const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
                if (n <= 0)
                    break;
                reader.append(buf, n);
            }
            if (m_stop)
                break;
            const std::optional<Message> req = decode(body);
            const QByteArray out = req ? step(*req) : QByteArray();
            if (out == "close") {
                ::close(fd);
                return;
            }
            ::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL);
        }
        // Keep the connection open (and silent) until the test ends.
        while (!m_stop && out_of_steps_wait(fd)) {
        }
        ::close(fd);
    }
    bool out_of_steps_wait(int fd)
    {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 20);
        char buf[256];
        return !(p.revents & POLLIN) || ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0;
    }

    std::vector<Step> m_steps;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

QByteArray rawBytes(const char *data, int size)
{
    return QByteArray(data, size);
}

} // namespace

class TestKeloOcx : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyOperationAndCode();
    void notificationsOnChange();
    void programStopAndRestart();
    void pausedRuntimeTimesOut();
    void killedRuntimeIsReconnected();
    void badTargets();
    void misbehavingRuntime();

private:
    void setUpLink(KeloOcx &link, const PlcSimProcess &sim)
    {
        link.setCallTimeout(Bound);
        link.setReconnectDelay(20);
        link.setNetId(QStringLiteral("127.0.0.1"));
        link.setPort(sim.portText());
    }
    QString m_vars;
    QTemporaryFile m_varsFile;
};

void TestKeloOcx::initTestCase()
{
    QVERIFY2(QFile::exists(PlcSimProcess::program()), "build the plcsim target first");
    QVERIFY(m_varsFile.open());
    m_varsFile.write("# extra variables beside those of module Line1\n"
                     "Counter INT := 5\n"
                     "Short STRING(5)\n"
                     "Big DINT := -7\n");
    m_varsFile.flush();
}

void TestKeloOcx::everyOperationAndCode()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("Line1"), QStringLiteral("--vars"),
                       m_varsFile.fileName()}));
    KeloOcx link;
    setUpLink(link, sim);

    qint32 hUnknown = -1;
    QCOMPARE(link.createVarHandle(QStringLiteral("Line1.nothing"), hUnknown), UnknownSymbol);
    QCOMPARE(hUnknown, 0);
    QCOMPARE(link.linkState(), KeloOcx::LinkState::Connected);

    qint32 hAnford = 0, hSend = 0, hStatus = 0, hErr = 0, hShort = 0;
    QCOMPARE(link.createVarHandle(QStringLiteral("Line1.anford"), hAnford), Ok);
    // Symbol names do not depend on letter case.
    QCOMPARE(link.createVarHandle(QStringLiteral("line1.senddata"), hSend), Ok);
    QCOMPARE(link.createVarHandle(QStringLiteral("Line1.ConnectStatus"), hStatus), Ok);
    QCOMPARE(link.createVarHandle(QStringLiteral("Line1.anfordErr"), hErr), Ok);
    QCOMPARE(link.createVarHandle(QStringLiteral("Short"), hShort), Ok);
    QVERIFY(hAnford != 0 && hSend != 0 && hAnford != hSend && hStatus != hErr);

    // A call must not run queued events: nothing else may happen inside the gateway's handler.
    bool timerRan = false;
    QTimer::singleShot(0, this, [&] { timerRan = true; });
    bool flag = true;
    QCOMPARE(link.readVarBool(hAnford, 2, flag), Ok);
    QCOMPARE(flag, false);
    QCOMPARE(link.writeVarBool(hAnford, 2, true), Ok);
    QCOMPARE(link.readVarBool(hAnford, 2, flag), Ok);
    QCOMPARE(flag, true);
    QVERIFY(!timerRan);
    QTRY_VERIFY(timerRan);

    // Strings: length counts two bytes per character and may cut the text.
    QString text;
    QCOMPARE(link.writeVarString(hSend, 10, QStringLiteral("hello")), Ok);
    QCOMPARE(link.readVarString(hSend, 2000, text), Ok);
    QCOMPARE(text, QStringLiteral("hello"));
    QCOMPARE(link.writeVarString(hSend, 6, QStringLiteral("hello")), Ok);
    QCOMPARE(link.readVarString(hSend, 2000, text), Ok);
    QCOMPARE(text, QStringLiteral("hel"));
    QCOMPARE(link.readVarString(hSend, 2, text), Ok);
    QCOMPARE(text, QStringLiteral("he"));
    const QString umlauts = QStringLiteral("\u20ac\u00e4\u00df\u4e2d");
    QCOMPARE(link.writeVarString(hSend, int(umlauts.size() * 2), umlauts), Ok);
    QCOMPARE(link.readVarString(hSend, 2000, text), Ok);
    QCOMPARE(text, QStringLiteral("\u20ac\u00e4\u00df?"));
    const QString full(2000, QLatin1Char('x'));
    QCOMPARE(link.writeVarString(hSend, 4000, full), Ok);
    QCOMPARE(link.readVarString(hSend, 2000, text), Ok);
    QCOMPARE(text, full);
    const QString tooLong = full + QLatin1Char('y');
    QCOMPARE(link.writeVarString(hSend, 4002, tooLong), ValueTooLong);
    QCOMPARE(link.writeVarString(hShort, 12, QStringLiteral("sixsix")), ValueTooLong);
    QCOMPARE(link.writeVarString(hShort, 10, QStringLiteral("five5")), Ok);
    QCOMPARE(link.readVarString(hSend, 2000, text), Ok);
    QCOMPARE(text, full);
    QCOMPARE(link.writeVarString(hSend, 3, QStringLiteral("ab")), InvalidSize);
    QCOMPARE(link.writeVarString(hSend, -2, QStringLiteral("ab")), InvalidSize);

    // Integers and type checks.
    QCOMPARE(link.writeVarInt(hStatus, 2, qint16(-7)), Ok);
    QCOMPARE(link.writeVarLong(hErr, 4, 123456789), Ok);
    QCOMPARE(link.writeVarInt(hErr, 2, qint16(9)), Ok); // an INT value fits a DINT
    QCOMPARE(link.writeVarLong(hStatus, 4, 1), WrongType);
    QCOMPARE(link.readVarBool(hSend, 2, flag), WrongType);
    QCOMPARE(link.readVarString(hAnford, 2000, text), WrongType);
    QCOMPARE(link.writeVarBool(hStatus, 2, true), WrongType);
    QCOMPARE(link.writeVarString(hAnford, 2, QStringLiteral("x")), WrongType);
    Value v;
    QCOMPARE(link.readValue(hStatus, v), Ok);
    QCOMPARE(v.number, -7);
    QCOMPARE(link.readValue(hErr, v), Ok);
    QCOMPARE(v.number, 9);
    QCOMPARE(link.readVarBool(hAnford, 0, flag), InvalidSize);
    QCOMPARE(link.readVarString(hSend, 0, text), InvalidSize);
    QCOMPARE(link.writeVarLong(hErr, 2, 1), InvalidSize);
    QCOMPARE(link.writeVarInt(hStatus, 1, 1), InvalidSize);
    QCOMPARE(link.writeVarBool(hAnford, 0, true), InvalidSize);

    // Handles after delete, notifications that do not exist.
    QCOMPARE(link.deleteVarHandle(hShort), Ok);
    QCOMPARE(link.writeVarString(hShort, 2, QStringLiteral("a")), InvalidHandle);
    QCOMPARE(link.deleteVarHandle(hShort), InvalidHandle);
    QCOMPARE(link.readVarBool(123456, 2, flag), InvalidHandle);
    QCOMPARE(link.disconnectVar(98765), InvalidHandle);
    qint32 notify = -1;
    QCOMPARE(link.connectVar(QStringLiteral("Line1.nothing"), 4, 1, notify, nullptr), UnknownSymbol);
    QCOMPARE(notify, 0);
    QCOMPARE(link.connectVar(QStringLiteral("Line1.antwort"), 4, 1, notify, nullptr), Ok);
    QCOMPARE(link.disconnectVar(notify), Ok);
    QCOMPARE(link.disconnectVar(notify), InvalidHandle);

    // The settings dialog is the window's: without it the call says so.
    QCOMPARE(link.showProperties(), NoPropertiesHandler);
    int shown = 0;
    link.setPropertiesHandler([&] { ++shown; });
    QCOMPARE(link.showProperties(), Ok);
    QCOMPARE(shown, 1);

    // Release ends the connection and every handle; the next call connects anew.
    QCOMPARE(link.releaseLink(), Ok);
    QCOMPARE(link.linkState(), KeloOcx::LinkState::Idle);
    QCOMPARE(link.readVarBool(hAnford, 2, flag), InvalidHandle);
    QCOMPARE(link.linkState(), KeloOcx::LinkState::Connected);
    qint32 again = 0;
    QCOMPARE(link.createVarHandle(QStringLiteral("Line1.anford"), again), Ok);
    QVERIFY(again != hAnford);
    QCOMPARE(link.readVarBool(again, 2, flag), Ok);
    QCOMPARE(flag, true);
    // The runtime saw the values, not only the link.
    sim.command(QStringLiteral("get Line1.ConnectStatus"));
    QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("^value Line1.ConnectStatus=-7$"))));
}

void TestKeloOcx::notificationsOnChange()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("K1")}));
    KeloOcx gateway;
    KeloOcx plc; // a second client playing the PLC program
    setUpLink(gateway, sim);
    setUpLink(plc, sim);
    QSignalSpy updates(&gateway, &KeloLink::connectUpdate);

    int record = 0;
    qint32 notify = 0;
    QCOMPARE(gateway.connectVar(QStringLiteral("K1.anford"), 4, 1, notify, &record), Ok);
    // The current value comes first, with the user object of the registration.
    QVERIFY(updates.isEmpty());
    QTRY_COMPARE(updates.size(), 1);
    QCOMPARE(updates[0][0].toInt(), notify);
    QCOMPARE(updates[0][1], QVariant(false));
    QCOMPARE(updates[0][2].value<void *>(), static_cast<void *>(&record));

    qint32 hPlc = 0;
    QCOMPARE(plc.createVarHandle(QStringLiteral("K1.anford"), hPlc), Ok);
    QCOMPARE(plc.writeVarBool(hPlc, 2, true), Ok);
    QTRY_COMPARE(updates.size(), 2);
    QCOMPARE(updates[1][1], QVariant(true));
    QCOMPARE(updates[1][2].value<void *>(), static_cast<void *>(&record));

    // Writing the same value is no change; the next change is.
    QCOMPARE(plc.writeVarBool(hPlc, 2, true), Ok);
    QCOMPARE(plc.writeVarBool(hPlc, 2, false), Ok);
    QTRY_COMPARE(updates.size(), 3);
    QCOMPARE(updates[2][1], QVariant(false));

    // A notification arriving during a call of the gateway waits for the handler to return.
    qint32 hOwn = 0;
    QCOMPARE(gateway.createVarHandle(QStringLiteral("K1.anford"), hOwn), Ok);
    QCOMPARE(gateway.writeVarBool(hOwn, 2, true), Ok);
    bool flag = false;
    QCOMPARE(gateway.readVarBool(hOwn, 2, flag), Ok);
    QCOMPARE(updates.size(), 3);
    QTRY_COMPARE(updates.size(), 4);
    QCOMPARE(updates[3][1], QVariant(true));

    // Strings and numbers come as their values; the console of the runtime is a writer too.
    qint32 nText = 0;
    QCOMPARE(gateway.connectVar(QStringLiteral("K1.SendData"), 4, 1, nText, nullptr), Ok);
    QTRY_COMPARE(updates.size(), 5);
    sim.command(QStringLiteral("set K1.SendData line\\none"));
    QTRY_COMPARE(updates.size(), 6);
    QCOMPARE(updates[5][0].toInt(), nText);
    QCOMPARE(updates[5][1], QVariant(QStringLiteral("line\none")));

    // After disconnectVar nothing more arrives for it.
    QCOMPARE(gateway.disconnectVar(notify), Ok);
    QCOMPARE(plc.writeVarBool(hPlc, 2, false), Ok);
    sim.command(QStringLiteral("set K1.SendData last"));
    QTRY_COMPARE(updates.size(), 7);
    QCOMPARE(updates[6][0].toInt(), nText);
}

void TestKeloOcx::programStopAndRestart()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("K1")}));
    KeloOcx link;
    setUpLink(link, sim);
    QSignalSpy states(&link, &KeloLink::stateChanged);
    QSignalSpy updates(&link, &KeloLink::connectUpdate);
    qint32 h = 0, n = 0;
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.antwort"), h), Ok);
    QCOMPARE(link.connectVar(QStringLiteral("K1.antwort"), 4, 1, n, nullptr), Ok);
    QTRY_COMPARE(updates.size(), 1);

    sim.command(QStringLiteral("stop"));
    QTRY_COMPARE(states.size(), 1);
    QCOMPARE(states[0][0].toInt(), 6);
    bool flag = false;
    QCOMPARE(link.readVarBool(h, 2, flag), ProgramStopped);
    qint32 h2 = 0;
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.antwort"), h2), ProgramStopped);

    sim.command(QStringLiteral("start"));
    QTRY_COMPARE(states.size(), 2);
    QCOMPARE(states[1][0].toInt(), 5);
    // The runtime forgot every handle and notification of the old run.
    QCOMPARE(link.readVarBool(h, 2, flag), InvalidHandle);
    QCOMPARE(link.disconnectVar(n), InvalidHandle);
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.antwort"), h2), Ok);
    QCOMPARE(link.readVarBool(h2, 2, flag), Ok);

    // A restart requested by a client (the stand-in's command line) reaches every client.
    KeloOcx other;
    setUpLink(other, sim);
    QCOMPARE(other.controlProgram(ControlRestart), Ok);
    QTRY_COMPARE(states.size(), 4);
    QCOMPARE(states[2][0].toInt(), 6);
    QCOMPARE(states[3][0].toInt(), 5);
    QCOMPARE(link.readVarBool(h2, 2, flag), InvalidHandle);
    QCOMPARE(updates.size(), 1);
}

void TestKeloOcx::pausedRuntimeTimesOut()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("K1")}));
    KeloOcx link;
    setUpLink(link, sim);
    QSignalSpy states(&link, &KeloLink::stateChanged);
    qint32 h = 0;
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.anford"), h), Ok);

    // An idle link notices a runtime that stopped answering by itself.
    sim.pause();
    QTRY_COMPARE_WITH_TIMEOUT(link.linkState(), KeloOcx::LinkState::Down, 5000);
    sim.resume();
    QTRY_COMPARE_WITH_TIMEOUT(states.size(), 1, 5000);
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.anford"), h), Ok);
    states.clear();

    sim.pause();
    bool flag = false;
    QElapsedTimer t;
    t.start();
    QCOMPARE(link.readVarBool(h, 2, flag), Timeout);
    // Loose: only a hang is a fault here.
    QVERIFY2(t.elapsed() < 5 * Bound, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(link.linkState(), KeloOcx::LinkState::Down);
    // While the link is down calls fail at once instead of waiting again.
    t.restart();
    QCOMPARE(link.readVarBool(h, 2, flag), NotConnected);
    QVERIFY(t.elapsed() < Bound);
    // Reconnection attempts meet a runtime that accepts but never answers.
    QTest::qWait(3 * Bound);
    QVERIFY(link.linkState() != KeloOcx::LinkState::Connected);
    QCOMPARE(states.size(), 0);

    sim.resume();
    QTRY_COMPARE_WITH_TIMEOUT(states.size(), 1, 5000);
    QCOMPARE(states[0][0].toInt(), 5);
    QCOMPARE(link.linkState(), KeloOcx::LinkState::Connected);
    QCOMPARE(link.readVarBool(h, 2, flag), InvalidHandle);
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.anford"), h), Ok);
    QCOMPARE(link.readVarBool(h, 2, flag), Ok);
}

void TestKeloOcx::killedRuntimeIsReconnected()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("K1")}));
    const quint16 port = sim.port();
    KeloOcx link;
    setUpLink(link, sim);
    QSignalSpy states(&link, &KeloLink::stateChanged);
    QSignalSpy linkStates(&link, &KeloOcx::linkStateChanged);
    qint32 h = 0;
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.anford"), h), Ok);

    sim.kill();
    // Found without any call of the gateway.
    QTRY_COMPARE(link.linkState(), KeloOcx::LinkState::Down);
    bool flag = false;
    QCOMPARE(link.readVarBool(h, 2, flag), NotConnected);
    QTest::qWait(200);
    QCOMPARE(states.size(), 0);

    PlcSimProcess restarted;
    QVERIFY(restarted.start({QStringLiteral("--module"), QStringLiteral("K1")}, port));
    QTRY_COMPARE_WITH_TIMEOUT(states.size(), 1, 5000);
    QCOMPARE(states[0][0].toInt(), 5);
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.anford"), h), Ok);
    QCOMPARE(link.writeVarBool(h, 2, true), Ok);
    QVERIFY(!linkStates.isEmpty());
    QCOMPARE(linkStates.last()[0].value<KeloOcx::LinkState>(), KeloOcx::LinkState::Connected);
}

void TestKeloOcx::badTargets()
{
    qint32 h = 0;
    {
        KeloOcx link;
        link.setNetId(QStringLiteral("plc.example"));
        QCOMPARE(link.createVarHandle(QStringLiteral("a"), h), InvalidTarget);
        link.setNetId(QStringLiteral("127.0.0.1"));
        link.setPort(QStringLiteral("70000"));
        QCOMPARE(link.createVarHandle(QStringLiteral("a"), h), InvalidTarget);
    }
    QHostAddress address;
    quint16 port = 0;
    QVERIFY(KeloOcx::parseTarget(QString(), QString(), address, port));
    QCOMPARE(address, QHostAddress(QStringLiteral("127.0.0.1")));
    QCOMPARE(port, DefaultPort);
    QVERIFY(KeloOcx::parseTarget(QStringLiteral("192.168.1.20.1.1"), QStringLiteral(" 851 "), address, port));
    QCOMPARE(address, QHostAddress(QStringLiteral("192.168.1.20")));
    QCOMPARE(port, quint16(851));
    QVERIFY(KeloOcx::parseTarget(QStringLiteral("::1"), QStringLiteral("1"), address, port));
    QVERIFY(!KeloOcx::parseTarget(QStringLiteral("1.2.3"), QString(), address, port));
    QVERIFY(!KeloOcx::parseTarget(QString(), QStringLiteral("0"), address, port));
    QVERIFY(!KeloOcx::parseTarget(QString(), QStringLiteral("12ab"), address, port));

    // Nobody listens there: refused at once, then retried in the background.
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("K1")}));
    const QString port2 = sim.portText();
    sim.kill();
    KeloOcx link;
    link.setCallTimeout(Bound);
    link.setReconnectDelay(20);
    link.setPort(port2);
    QSignalSpy states(&link, &KeloLink::stateChanged);
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.anford"), h), NotConnected);
    QCOMPARE(link.linkState(), KeloOcx::LinkState::Down);
    // A runtime that appears later is found by the link itself; the owner learns it by state 5.
    PlcSimProcess late;
    QVERIFY(late.start({QStringLiteral("--module"), QStringLiteral("K1")}, quint16(port2.toUInt())));
    QTRY_COMPARE_WITH_TIMEOUT(states.size(), 1, 5000);
    QCOMPARE(states[0][0].toInt(), 5);
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.anford"), h), Ok);

    // Changing the target moves the link to the new runtime.
    PlcSimProcess second;
    QVERIFY(second.start({QStringLiteral("--module"), QStringLiteral("K2")}));
    link.setPort(second.portText());
    QTRY_COMPARE_WITH_TIMEOUT(states.size(), 2, 5000);
    QCOMPARE(link.createVarHandle(QStringLiteral("K2.anford"), h), Ok);
    QCOMPARE(link.createVarHandle(QStringLiteral("K1.anford"), h), UnknownSymbol);
}

void TestKeloOcx::misbehavingRuntime()
{
    auto hello = &ScriptedRuntime::hello;
    auto created = &ScriptedRuntime::created;
    struct Case {
        const char *name;
        std::vector<ScriptedRuntime::Step> steps;
        qint32 expected;
    };
    const QByteArray unknownType = rawBytes("\x00\x00\x00\x07\x33\x00\x00\x00\x01zz", 11);
    const QByteArray huge = rawBytes("\x7f\xff\xff\xff", 4);
    auto boolReply = [](quint8 value) {
        return [value](const Message &req) {
            // A Read reply carrying a BOOL byte that is neither 0 nor 1.
            Message r;
            r.type = MsgType::Read;
            r.reply = true;
            r.seq = req.seq;
            r.value = Value::boolean(true);
            QByteArray frame = encode(r);
            frame[frame.size() - 1] = char(value);
            return frame;
        };
    };
    auto wrongReplyType = [](const Message &req) {
        Message r;
        r.type = MsgType::Write;
        r.reply = true;
        r.seq = req.seq;
        return encode(r);
    };
    auto oldSeqOnly = [](const Message &req) {
        Message r;
        r.type = MsgType::Read;
        r.reply = true;
        r.seq = req.seq + 1000;
        r.value = Value::boolean(true);
        return encode(r);
    };
    std::vector<Case> cases;
    cases.push_back(
        {"garbage instead of the greeting", {[&](const Message &) { return unknownType; }}, ProtocolError});
    cases.push_back({"oversized frame", {[&](const Message &) { return huge; }}, ProtocolError});
    cases.push_back(
        {"closed during the greeting", {[](const Message &) { return QByteArray("close"); }}, NotConnected});
    cases.push_back({"silent", {[](const Message &) { return QByteArray(); }}, Timeout});
    cases.push_back({"invalid value", {hello, created, boolReply(7)}, ProtocolError});
    cases.push_back({"reply of another type", {hello, created, wrongReplyType}, ProtocolError});
    cases.push_back({"reply to another request", {hello, created, oldSeqOnly}, Timeout});
    cases.push_back({"closed mid-call",
                     {hello, created, [](const Message &) { return QByteArray("close"); }},
                     NotConnected});
    cases.push_back({"half a frame",
                     {hello, created, [](const Message &) { return QByteArray("\x00\x00\x00\x20\x44", 5); }},
                     Timeout});

    for (const Case &c : cases) {
        ScriptedRuntime runtime(c.steps);
        KeloOcx link;
        link.setCallTimeout(Bound);
        link.setReconnectDelay(5000);
        link.setPort(runtime.port());
        qint32 h = 0;
        bool flag = false;
        QElapsedTimer t;
        t.start();
        qint32 code = link.createVarHandle(QStringLiteral("K1.anford"), h);
        if (code == Ok)
            code = link.readVarBool(h, 2, flag);
        QVERIFY2(code == c.expected,
                 qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(c.name)).arg(code)));
        QVERIFY2(t.elapsed() < 5 * Bound, c.name);
        QCOMPARE(link.linkState(), KeloOcx::LinkState::Down);
    }
}

QTEST_GUILESS_MAIN(TestKeloOcx)
#include "TestKeloOcx.moc"
