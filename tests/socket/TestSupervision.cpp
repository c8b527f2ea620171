#include "FakeSocketEndpoint.h"
#include "RecordingLog.h"
#include "TestClock.h"
#include "common/Cp1252.h"
#include "common/GatewayState.h"
#include "socket/QtSocketEndpoint.h"
#include "socket/SocketEvents.h"
#include "socket/SocketSupervision.h"
#include "socket/Utf8Wire.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace
{

// The cycle and the event handlers over one endpoint, with a clock that moves only when told.
template <typename Endpoint> struct Rig {
    TestClock clock{QDateTime(QDate(2026, 12, 5), QTime(10, 0, 0))};
    GatewayState state;
    Endpoint socket;
    RecordingLog log;
    SocketSupervision cycle{state, socket, log};
    int responseStarts = 0;
    SocketEvents events{state, socket, log, [this] { ++responseStarts; }};

    Rig()
    {
        socket.setObjectName("Winsock1");
        state.settings.remoteHost = "127.0.0.1";
        state.settings.remotePort = "9100";
        state.settings.timeoutSeconds = 10;
        state.settings.statusReport = 1;
    }
    // One tick half a second after the last.
    void tick(int ms = 500)
    {
        clock.advance(ms);
        cycle.tick();
    }
    const QRegularExpression timeOfDay{QStringLiteral("\\d\\d:\\d\\d:\\d\\d ")};
    // The log records without their date and time.
    QStringList messages(bool clear = true)
    {
        QStringList out;
        for (const auto &r : log.records)
            out << r.first.mid(r.first.indexOf(timeOfDay) + 9);
        if (clear)
            log.records.clear();
        return out;
    }
};

using FakeRig = Rig<FakeSocketEndpoint>;

// keep-alive on, idle, interval, probes and the unacknowledged-data limit of a connection.
QList<int> keepAliveOf(qintptr fd)
{
    QList<int> out;
    for (const auto &[level, name] : {std::pair{SOL_SOCKET, SO_KEEPALIVE},
                                      {IPPROTO_TCP, TCP_KEEPIDLE},
                                      {IPPROTO_TCP, TCP_KEEPINTVL},
                                      {IPPROTO_TCP, TCP_KEEPCNT},
                                      {IPPROTO_TCP, TCP_USER_TIMEOUT}}) {
        int value = -1;
        socklen_t size = sizeof value;
        ::getsockopt(int(fd), level, name, &value, &size);
        out << value;
    }
    return out;
}

} // namespace

class TestSupervision : public QObject
{
    Q_OBJECT

private slots:
    // Client, one connection per request, against a real peer on loopback: every item is
    // connected, sent, completed and closed in turn, in order, and the peer gets each alone.
    void perRequestRunOverLoopback()
    {
        Rig<QtSocketEndpoint> rig;
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        QStringList received;
        connect(&peer, &QTcpServer::newConnection, &peer, [&] {
            QTcpSocket *c = peer.nextPendingConnection();
            auto *buffer = new QByteArray;
            connect(c, &QTcpSocket::readyRead, c, [c, buffer] { *buffer += c->readAll(); });
            connect(c, &QTcpSocket::disconnected, c, [&received, c, buffer] {
                received << QString::fromLatin1(*buffer);
                delete buffer;
                c->deleteLater();
            });
        });
        rig.state.settings.remotePort = QString::number(peer.serverPort());
        rig.state.sendQueue = QStringList{"A1", "B22", "C333"};
        rig.state.lastSendTimer = 1; // long ago
        const QString host = "Connect 127.0.0.1:" + rig.state.settings.remotePort + "   Sending:";
        QStringList expected;
        for (const QString item : {"A1", "B22", "C333"}) {
            expected << host + item << "Start send " + item + "/7"
                     << "Send Complete => Close after send"
                     << "Data send complete:" + item;
            rig.tick();
            QTRY_VERIFY(rig.state.sendDone);
            QCOMPARE(rig.state.sendQueue.first(), item); // removed by the next tick only
            rig.tick();
        }
        QCOMPARE(rig.messages(), expected);
        QTRY_COMPARE(received, (QStringList{"A1", "B22", "C333"}));
    }

    // The wall clock stepping back an hour (an NTP correction) or forward moves neither spacing
    // nor time-out (nor the re-listen, below); midnight is no boundary either. Each step is taken
    // while the rule it would break is counting.
    void rulesIgnoreWallClockSteps()
    {
        const QDateTime before = QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59));
        const auto step = [&](FakeRig &rig, int hours) {
            rig.clock.setNow(before.addSecs(qint64(hours) * 3600));
        };
        // The 2 s spacing, across midnight and across a step back.
        FakeRig pacing;
        pacing.clock.setNow(before);
        pacing.state.sendQueue = QStringList{"x"};
        pacing.tick(0); // the spacing starts on first sight
        pacing.tick(1000);
        step(pacing, -1);
        pacing.tick(900);
        QVERIFY(pacing.socket.calls.filter("Connect").isEmpty());
        pacing.tick(100);
        QCOMPARE(pacing.socket.calls.filter("Connect").size(), 1);
        QCOMPARE(pacing.messages().value(0), "Connect 127.0.0.1:9100   Sending:x");
        // An empty item skips the spacing.
        FakeRig empty;
        empty.state.sendQueue = QStringList{""};
        empty.tick();
        QCOMPARE(empty.socket.calls.filter("Connect").size(), 1);
        // The client's request time-out: ended after the time-out, the same item comes again.
        FakeRig client;
        client.state.settings.timeoutSeconds = 3;
        client.state.sendQueue = QStringList{"slow"};
        client.state.lastSendTimer = 1;
        client.tick();
        step(client, +1); // the peer never answers
        client.tick(3000);
        QVERIFY(client.state.lblState.endsWith("\r\n Timeout (sec):3"));
        QVERIFY(client.messages().filter("Timeout").isEmpty());
        client.tick(1000);
        QCOMPARE(client.messages(), QStringList{"Timeout connecting: 127.0.0.1:9100"});
        QCOMPARE(client.state.sendQueue, QStringList{"slow"});
    }

    // An endpoint error ends the request on the next tick; settings.dropRequestOnError decides whether the
    // item goes. The error text is shown once, and only when status reporting is on.
    void errorEndsTheRequest_data()
    {
        QTest::addColumn<int>("reset");
        QTest::addColumn<int>("status");
        QTest::newRow("reset, status 1") << 1 << 1;
        QTest::newRow("keep, status 2") << 0 << 2;
        QTest::newRow("reset, status 0") << 1 << 0;
    }
    void errorEndsTheRequest()
    {
        QFETCH(int, reset);
        QFETCH(int, status);
        FakeRig rig;
        rig.state.settings.dropRequestOnError = reset != 0;
        rig.state.settings.statusReport = status;
        rig.state.sendQueue = QStringList{"one", "two"};
        rig.state.lastSendTimer = 1; // long ago
        rig.tick();
        rig.socket.current = SocketEndpoint::Error;
        emit rig.socket.errorOccurred(10061, "Connection refused");
        QCOMPARE(rig.socket.current, 0); // closed by the handler
        rig.tick();
        QCOMPARE(rig.state.sendQueue, reset ? QStringList{"two"} : (QStringList{"one", "two"}));
        // Whatever the status reporting, a dropped item leaves one record naming it.
        QCOMPARE(rig.log.drops.size(), reset);
        if (reset)
            QVERIFY2(
                rig.log.drops[0].endsWith("Request dropped after a socket error (Connection refused): one"),
                qPrintable(rig.log.drops[0]));
        QVERIFY(!rig.cycle.requestStart().has_value() && rig.state.socketErrorText.isEmpty());
        QCOMPARE(rig.state.lblError.endsWith("SocketError: Winsock1\r\nConnection refused"), status != 0);
        const QStringList logged = rig.messages(false).filter("Winsock");
        QCOMPARE(logged,
                 status ? QStringList{"Winsock Error  Winsock1\r\nConnection refused"} : QStringList());
        if (status != 0)
            QCOMPARE(rig.log.records[1].second, status == 1); // status 2 also reaches the message list
        // The next try waits out the spacing from the error.
        rig.socket.calls.clear();
        rig.tick();
        QVERIFY(rig.socket.calls.filter("Connect").isEmpty());
        rig.tick(1600);
        QCOMPARE(rig.socket.calls.filter("Connect").size(), 1);
    }

    // Every failure told to the PLC leaves exactly one log record with its text: the drop record
    // or forced status line of its event where that exists, else one written with the report.
    // With reportPeerFailures off only the events logged anyway leave a record.
    void oneRecordPerPeerFailure_data()
    {
        QTest::addColumn<bool>("toPlc");
        QTest::newRow("told to the PLC") << true;
        QTest::newRow("not told") << false;
    }
    void oneRecordPerPeerFailure()
    {
        QFETCH(bool, toPlc);
        QStringList seen;
        const auto run = [&](const std::function<void(FakeRig &)> &steps) {
            FakeRig rig;
            rig.state.safety.reportPeerFailures = toPlc;
            rig.state.sendQueue = QStringList{"job", "next"};
            rig.state.lastSendTimer = 1; // long ago
            QList<std::pair<PeerFailure, QString>> told;
            const auto report = [&told](PeerFailure code, const QString &message) {
                told.append({code, message});
            };
            rig.cycle.setFailureReport(report);
            rig.events.setFailureReport(report);
            steps(rig);
            for (const auto &[code, message] : told) {
                QStringList texts = rig.log.drops;
                for (const auto &r : rig.log.records)
                    texts << r.first;
                seen << QStringLiteral("%1 %2 x%3")
                            .arg(int(code))
                            .arg(message)
                            .arg(std::count_if(
                                texts.begin(), texts.end(),
                                [&text = message](const QString &t) { return t.endsWith(text); }));
            }
        };
        run([](FakeRig &rig) { // no connection within the time-out
            rig.state.settings.timeoutSeconds = 3;
            for (int i = 0; i < 9; ++i)
                rig.tick();
        });
        run([](FakeRig &rig) { // refused by the endpoint on a static connection
            rig.state.settings.staticConnection = true;
            rig.socket.current = SocketEndpoint::Connected;
            rig.socket.failSend = true;
            rig.tick();
        });
        run([](FakeRig &rig) { // refused by the endpoint once connected for the request
            rig.socket.current = SocketEndpoint::Connected;
            rig.socket.failSend = true;
            emit rig.socket.connected();
        });
        run([](FakeRig &rig) { // dropped after a socket error
            rig.state.settings.dropRequestOnError = true;
            rig.tick();
            emit rig.socket.errorOccurred(10061, "Connection refused");
            rig.tick();
        });
        run([](FakeRig &rig) { // sent, and no answer within the time-out
            rig.state.settings.staticConnection = true;
            rig.state.safety.answerTimeoutSec = 1;
            rig.socket.current = SocketEndpoint::Connected;
            rig.tick();
            emit rig.socket.sendComplete();
            for (int i = 0; i < 4; ++i)
                rig.tick();
        });
        run([](FakeRig &rig) { // an answer too large, then one cut short by the connection's end
            rig.state.safety.answerFraming = AnswerFraming::Line;
            rig.state.safety.answerMaxBytes = 3;
            emit rig.socket.stateChanged(SocketEndpoint::Connected);
            rig.socket.incoming = "ABCDEFG\n";
            emit rig.socket.dataArrival(8);
            rig.socket.incoming = "AB";
            emit rig.socket.dataArrival(2);
            emit rig.socket.stateChanged(SocketEndpoint::Closed);
        });
        const QString logged = toPlc ? "x1" : "x0";
        QCOMPARE(seen, (QStringList{
                           "3003 Request timed out (127.0.0.1:9100), tried again: job " + logged,
                           "3002 Request not sent: job " + logged,
                           "3002 Request not sent: job " + logged,
                           "3001 Request dropped after a socket error (Connection refused): job x1",
                           "3004 No answer within 1 s: job x1",
                           "3006 Answer too large: 7 bytes, at most 3: dropped x1",
                           "3005 Answer cut short: the connection ended after 2 bytes of it x1",
                       }));
    }

    // Static connection: close, connect, wait, and again after 20 ticks; queued items stay put.
    void staticReconnectNumbering()
    {
        FakeRig rig;
        rig.state.settings.staticConnection = true;
        rig.state.sendQueue = QStringList{"held"};
        QStringList tries;
        for (int i = 0; i < 22; ++i) {
            rig.tick();
            if (rig.socket.current == SocketEndpoint::Connecting)
                rig.socket.current = SocketEndpoint::Error; // the connect fails every time
            tries << rig.state.lblState.section(" Try to connect: ", 1);
        }
        QCOMPARE(tries.mid(18, 4), (QStringList{"19", "20", "1", "2"}));
        QCOMPARE(rig.socket.calls.filter("Connect").size(), 2);
        QVERIFY(rig.state.lblState.endsWith("\r\n Pending senddata:1\r\n Try to connect: 2"));

        // Connected: the connect event sends the first item; later ones go from the tick.
        rig.socket.current = SocketEndpoint::Connected;
        emit rig.socket.connected();
        emit rig.socket.sendComplete(); // the connection stays open
        rig.state.sendQueue << "next";
        rig.tick();
        QCOMPARE(rig.state.sendQueue, QStringList{"next"});
        rig.tick(); // the completed send moved the spacing 3 s back: at once
        QCOMPARE(rig.messages().filter("Start send"),
                 (QStringList{"Start send held/7", "Start send next/7"}));
    }

    // Server role: the 10-second re-listen, for an accepted peer only without a static
    // connection; every tick reports the state for the PLC's ConnectStatus.
    void serverRelisten()
    {
        FakeRig rig;
        rig.state.settings.serverRole = true;
        rig.socket.current = SocketEndpoint::Connected;
        QList<int> reported;
        rig.cycle.setStateReport([&](int state) { reported << state; });
        rig.tick();
        QCOMPARE(reported, QList<int>{SocketEndpoint::Connected});
        QCOMPARE(rig.state.lblState, "Port Connected Request Time:0");
        for (int i = 0; i < 21; ++i) {
            rig.tick();
            rig.clock.setNow(rig.clock.now().addSecs(i == 10 ? -3600 : 0)); // a wall clock step moves nothing
        }
        QVERIFY(rig.messages().isEmpty());
        rig.tick(); // 11 s
        QCOMPARE(rig.messages(), QStringList{"Timeout request port: 9100"});
        QCOMPARE(rig.socket.calls, (QStringList{"Close", "Listen"}));

        rig.state.settings.staticConnection = true;
        rig.socket.current = SocketEndpoint::Connected;
        rig.socket.calls.clear();
        for (int i = 0; i < 40; ++i)
            rig.tick();
        QVERIFY(rig.socket.calls.isEmpty());
        QCOMPARE(rig.state.lblState, "Port Connected");
        rig.socket.current = SocketEndpoint::Closed;
        for (int i = 0; i < 24; ++i)
            rig.tick();
        QCOMPARE(rig.socket.calls, (QStringList{"Close", "Listen"}));
        QCOMPARE(rig.socket.current, int(SocketEndpoint::Listening));
    }

    // A second peer takes over from the first; the close of a peer listens again at once.
    void newestPeerTakesOver()
    {
        Rig<QtSocketEndpoint> rig;
        rig.state.settings.serverRole = true;
        QVERIFY(rig.socket.setLocalPort(0) && rig.socket.listen());
        const quint16 port = static_cast<quint16>(rig.socket.localPort());
        QTcpSocket first, second;
        first.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(rig.socket.state(), int(SocketEndpoint::Connected));
        // A peer that vanishes without a word is found out within about 30 s.
        QCOMPARE(keepAliveOf(rig.socket.connectionDescriptor()), (QList<int>{1, 10, 5, 3, 30000}));
        second.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(rig.socket.state(), int(SocketEndpoint::Connected));
        QCOMPARE(rig.messages(), (QStringList{"send request 1", "send request 2"}));
        QVERIFY(rig.state.connAccepted);
        second.write("hello");
        QTRY_COMPARE(rig.state.receiveQueue, QStringList{"hello"});
        QCOMPARE(rig.responseStarts, 1);
        second.disconnectFromHost();
        QTRY_COMPARE(rig.socket.state(), int(SocketEndpoint::Listening));
        QCOMPARE(rig.messages(), QStringList{"Closed <8>"});

        // In the client role a connection request is never taken.
        rig.state.settings.serverRole = false;
        QTcpSocket third;
        third.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(third.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(rig.socket.state(), int(SocketEndpoint::Listening));
    }

    void utf8Boundaries()
    {
        const auto bytes = [](const QString &s) { return cp1252::encode(encodeUTF8(s)).toHex(' '); };
        QCOMPARE(bytes("abc"), "61 62 63");
        QCOMPARE(bytes(u"\u00e4\u00df"_qs), "c3 a4 c3 9f");
        QCOMPARE(bytes(u"\u07ff\u0800"_qs), "df bf e0 a0 80");
        QCOMPARE(bytes(u"\u20ac\u8000\uffff"_qs), "e2 82 ac e8 80 80 ef bf bf");
        QCOMPARE(bytes(u"\U0001F600"_qs), "ed a0 bd ed b8 80");
        QCOMPARE(bytes(u"a\u00e4b\u20ac\U0001F600c"_qs), "61 c3 a4 62 e2 82 ac ed a0 bd ed b8 80 63");
        QVERIFY(encodeUTF8({}).isEmpty());
        // A text the caller still holds keeps its characters.
        const QString kept = u"x\u00e4y"_qs;
        QCOMPARE(encodeUTF8(kept).size(), 4);
        QCOMPARE(kept, u"x\u00e4y"_qs);
    }
};

QTEST_MAIN(TestSupervision)
#include "TestSupervision.moc"
