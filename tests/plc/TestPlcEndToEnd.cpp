// The PLC cycles end to end: the real link against the runtime stand-in, the real socket endpoint
// against a peer on loopback. The test stands in for the gateway core around the cycles: it sends
// the queued requests, queues what arrives and runs the response tick. And what the whole program
// writes to the event log while its runtime is gone or knows another module.
#include "GatewayInstance.h"
#include "RecordingLog.h"
#include "common/GatewayState.h"
#include "plc/KeloOcx.h"
#include "plc/PlcCycles.h"
#include "socket/QtSocketEndpoint.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace
{

// The other end of the line: keeps every byte it gets, answers as told.
struct Peer {
    QTcpServer server;
    QTcpSocket *line = nullptr;
    QByteArray received;
    std::function<QByteArray(const QByteArray &)> answer;

    Peer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            line = server.nextPendingConnection();
            QObject::connect(line, &QTcpSocket::readyRead, [this] {
                const QByteArray bytes = line->readAll();
                received += bytes;
                if (answer)
                    line->write(answer(bytes));
            });
        });
    }
};

// The cycles with what the core gives them: Timer2, and a minimal sender for sendQueue over a
// static connection.
struct Gateway {
    GatewayState state;
    RecordingLog log;
    KeloOcx link;
    QtSocketEndpoint socket;
    PlcCycles cycles{state, link, socket, log};
    QTimer timer2, sender;
    bool sending = false;
    int ticks = 0;

    Gateway(quint16 plcPort, quint16 peerPort)
    {
        link.setCallTimeout(300);
        link.setReconnectDelay(20);
        link.setPort(QString::number(plcPort));
        state.modulName = u"K1"_s;
        state.chkCon = 1;
        QObject::connect(&socket, &SocketEndpoint::dataArrival, [this](qint64 bytes) {
            if (bytes > 0)
                state.receiveQueue << socket.GetData();
        });
        QObject::connect(&socket, &SocketEndpoint::sendComplete, [this] {
            state.sendQueue.removeFirst();
            sending = false;
        });
        QObject::connect(&timer2, &QTimer::timeout, [this] {
            cycles.responseTick();
            ++ticks;
        });
        QObject::connect(&sender, &QTimer::timeout, [this] {
            if (!sending && socket.State() == SocketEndpoint::Connected && !state.sendQueue.isEmpty())
                sending = socket.SendData(state.sendQueue.first());
        });
        timer2.start(1);
        sender.start(5);
        socket.Connect(u"127.0.0.1"_s, QString::number(peerPort));
        cycles.connectPlc();
    }
};

void raise(PlcSimProcess &sim, const QString &sendData)
{
    sim.command(u"set K1.SendData "_s + sendData);
    sim.command(u"set K1.anford true"_s);
}

} // namespace

class TestPlcEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void requestsAnswersAndARuntimeThatStopsAndHangs()
    {
        // The stand-in with module K1, tracing, and its PLC program taking every answer.
        PlcSimProcess sim;
        QVERIFY(sim.start({u"--module"_s, u"K1"_s, u"--plc"_s, u"K1"_s, u"--every"_s, u"3600000"_s}));
        Peer peer;
        peer.answer = [](const QByteArray &request) { return "OK " + request.left(3); };
        Gateway gw(sim.port(), peer.server.serverPort());
        QTRY_COMPARE(gw.socket.State(), int(SocketEndpoint::Connected));

        // The plants' code page on the line; the answer reaches the PLC program, which takes it.
        raise(sim, u"  h\u00e4llo \u20ac  "_s);
        QTRY_COMPARE(peer.received, QByteArray("h\xe4llo \x80"));
        QVERIFY(sim.waitForLine(u"^plc answer n=0 .* data=OK h\u00e4l$"_s));

        // A request raised while the program stands is served after its start: the new
        // notification brings the raised flag along.
        peer.answer = [](const QByteArray &request) { return "echo:" + request; };
        peer.received.clear();
        sim.command(u"stop"_s);
        QVERIFY(sim.waitForLine(u"^state stop"_s));
        raise(sim, u"during"_s);
        sim.command(u"start"_s);
        QTRY_COMPARE(peer.received, QByteArray("during"));
        QVERIFY(sim.waitForLine(u"^plc answer n=0 .* data=echo:during$"_s));

        // While the runtime hangs the line keeps being served and no call waits again: the
        // response tick keeps running (50 ticks at a call time-out each would take half a minute).
        sim.pause();
        gw.state.sendQueue << u"ping"_s;
        QTRY_COMPARE(gw.state.receiveQueue, QStringList{u"echo:ping"_s});
        QTRY_VERIFY(gw.state.lblError.endsWith(u" ReadVar: antwort !1802"_s));
        const int ticked = gw.ticks;
        QVERIFY(QTest::qWaitFor([&] { return gw.ticks > ticked + 50; }, 5000));
        gw.state.sendQueue << u"pong"_s;
        QTRY_COMPARE(gw.state.receiveQueue, (QStringList{u"echo:ping"_s, u"echo:pong"_s}));
        // Continued: the link is back by itself, nothing was lost, the order kept.
        sim.pause(false);
        QVERIFY(sim.waitForLine(u"^plc answer n=0 .* data=echo:ping$"_s));
        QVERIFY(sim.waitForLine(u"^plc answer n=0 .* data=echo:pong$"_s));
    }

    void eventLogSaysWhyTheLinkIsDownAndWhenItIsBack()
    {
        // The real program, started while no runtime listens on its PLC port.
        GatewayInstance in("Line1");
        const quint16 port = freePort();
        in.config.plcPort = port;
        in.config.remotePort = freePort();
        QVERIFY(in.writeConfig());
        in.start();
        const auto linkEntries = [&] {
            return in.entries().filter(QRegularExpression(u"^PLC link( down| back|:)"_s));
        };
        const QString target = u"the PLC runtime at 127.0.0.1:%1"_s.arg(port);
        const QString down =
                          u"PLC link down: cannot connect to %1: connection refused (nothing listens on that "
                          u"port). The link keeps trying."_s.arg(target),
                      back = u"PLC link back: connected to %1."_s.arg(target);

        // One entry for the whole episode, however often the link retries.
        QTRY_COMPARE_WITH_TIMEOUT(linkEntries(), QStringList{down}, 10000);
        QTest::qWait(1500);
        QCOMPARE(linkEntries(), QStringList{down});

        // A runtime that knows another module: the link is back, but the variables are not there.
        // Gone again, then back with the right module.
        PlcSimProcess plc;
        QVERIFY(plc.start({u"--module"_s, u"Other"_s}, port));
        const QString unknown =
            u"PLC link: no variable Line1.SendData at %1; is the module name Line1 right?"_s.arg(target);
        QTRY_COMPARE_WITH_TIMEOUT(linkEntries(), (QStringList{down, back, unknown}), 10000);
        plc.kill();
        QTRY_COMPARE_WITH_TIMEOUT(linkEntries().size(), 4, 10000);
        QVERIFY(plc.start({u"--module"_s, u"Line1"_s}, port));
        QTRY_COMPARE_WITH_TIMEOUT(
            linkEntries(),
            (QStringList{down, back, unknown, down, back,
                         u"PLC link back: variable Line1.SendData found at %1."_s.arg(target)}),
            10000);
        QVERIFY(in.stop());
    }
};

QTEST_GUILESS_MAIN(TestPlcEndToEnd)
#include "TestPlcEndToEnd.moc"
