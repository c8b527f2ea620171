#include "common/Cp1252.h"
#include "socket/QtSocketEndpoint.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

constexpr int kWait = 10000;
// A host name that cannot resolve. Its first label is longer than a DNS label may be, so the
// lookup fails on this machine without asking any name server.
static const QString kUnresolvable = QString(64, QLatin1Char('p')) + QStringLiteral(".invalid");
constexpr int kLookupWait = 60000;

static quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Everything an endpoint reports, in order; data is taken inside the event as the gateway does.
class Recorder : public QObject
{
public:
    explicit Recorder(QtSocketEndpoint &ep) : endpoint(ep)
    {
        connect(&ep, &SocketEndpoint::stateChanged, this, [this](int s) { states << s; });
        connect(&ep, &SocketEndpoint::connected, this, [this] { events << "connected"; });
        connect(&ep, &SocketEndpoint::sendComplete, this, [this] { events << "sendComplete"; });
        connect(&ep, &SocketEndpoint::peerClosed, this, [this] { events << "peerClosed"; });
        connect(&ep, &SocketEndpoint::errorOccurred, this, [this](int number, const QString &text) {
            events << QStringLiteral("error %1").arg(number);
            errorText = text;
        });
        connect(&ep, &SocketEndpoint::dataArrival, this, [this](qint64 bytes) {
            const QString text = endpoint.GetData();
            countsMatch = countsMatch && text.size() == bytes && endpoint.GetData().isEmpty();
            data += text;
            events << "data";
        });
        connect(&ep, &SocketEndpoint::connectionRequest, this, [this](int id) {
            requests << id;
            if (takeOver) { // the gateway's way: drop the previous peer, take the new one
                endpoint.Close();
                accepted = endpoint.Accept(id);
            }
        });
    }
    QtSocketEndpoint &endpoint;
    QList<int> states;
    QStringList events;
    QString data;
    QString errorText;
    QList<int> requests;
    bool takeOver = true;
    bool accepted = false;
    bool countsMatch = true;
};

class TestSocketEndpoint : public QObject
{
    Q_OBJECT
private slots:

    void clientExchangesExactBytes()
    {
        QTcpServer peerServer;
        QVERIFY(peerServer.listen(QHostAddress::LocalHost, 0));
        QtSocketEndpoint ep;
        Recorder rec(ep);

        QVERIFY(ep.Connect(QStringLiteral("127.0.0.1"), QString::number(peerServer.serverPort())));
        QVERIFY2(rec.states.isEmpty() && rec.events.isEmpty(), "no event inside Connect");
        QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{"connected"}, kWait);
        QCOMPARE(rec.states, (QList<int>{4, 5, 6, 7}));
        QCOMPARE(ep.State(), 7);
        QTRY_VERIFY_WITH_TIMEOUT(peerServer.hasPendingConnections(), kWait);
        QTcpSocket *peer = peerServer.nextPendingConnection();

        // A text of byte values goes out as those bytes; characters of the code page as theirs.
        QString text;
        QByteArray expected;
        for (int b = 0; b < 256; ++b) {
            text += QChar(b);
            expected += static_cast<char>(b);
        }
        QVERIFY(ep.SendData(text + QChar(0x20AC)));
        QVERIFY2(!rec.events.contains("sendComplete"), "no event inside SendData");
        QByteArray got; // the endpoint writes from this thread's event loop, so the wait must spin it
        QTRY_VERIFY_WITH_TIMEOUT((got += peer->readAll()).size() >= 257, kWait);
        QCOMPARE(got, expected + '\x80');
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.count("sendComplete"), 1, kWait);

        const QByteArray high = expected.mid(0x80);
        peer->write(high);
        QTRY_COMPARE_WITH_TIMEOUT(rec.data.size(), high.size(), kWait);
        QCOMPARE(rec.data, cp1252::decode(high));
        QCOMPARE(rec.data.at(0), QChar(0x20AC));
        QVERIFY(rec.countsMatch);

        // Data sent just before the peer leaves comes before the close.
        rec.events.clear();
        rec.data.clear();
        peer->write("bye");
        peer->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(rec.events.contains("peerClosed"), kWait);
        QCOMPARE(rec.data, QStringLiteral("bye"));
        QCOMPARE(rec.events.first(), QStringLiteral("data"));
        QCOMPARE(ep.State(), 8);
        QVERIFY(!ep.SendData(QStringLiteral("late")));
        QCOMPARE(ep.pendingError().number, 10057);
    }

    void serverAcceptsAndDecidesOnSecondRequest()
    {
        QtSocketEndpoint ep;
        ep.setListenAddress(QHostAddress::LocalHost);
        Recorder rec(ep);
        const quint16 port = freePort();
        QVERIFY(ep.setLocalPort(port));
        QVERIFY(ep.Listen());
        QCOMPARE(ep.State(), 2);
        // A peer knocks; true once the endpoint has seen exactly one more request.
        const auto knock = [&](QTcpSocket &peer) {
            const qsizetype before = rec.requests.size();
            peer.connectToHost(QHostAddress::LocalHost, port);
            return QTest::qWaitFor([&] { return rec.requests.size() == before + 1; }, kWait);
        };
        QTcpSocket first, second, third, fourth;
        QByteArray got;
        QVERIFY(knock(first));
        QVERIFY(rec.accepted);
        QCOMPARE(ep.State(), 7);
        QVERIFY(ep.SendData(QStringLiteral("ack")));
        QTRY_VERIFY_WITH_TIMEOUT((got += first.readAll()).size() >= 3, kWait);
        QCOMPARE(got, QByteArray("ack"));
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.count("sendComplete"), 1, kWait);

        // Turned away: the newcomer is closed, the first peer keeps its connection.
        rec.takeOver = false;
        QVERIFY(knock(second));
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QAbstractSocket::UnconnectedState, kWait);
        QCOMPARE(ep.State(), 7);
        first.write("one");
        QTRY_COMPARE_WITH_TIMEOUT(rec.data, QStringLiteral("one"), kWait);

        // Taken over: the first peer is dropped without a peerClosed for it.
        rec.takeOver = true;
        QVERIFY(knock(third));
        QVERIFY(rec.accepted);
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QAbstractSocket::UnconnectedState, kWait);
        third.write("three");
        QTRY_COMPARE_WITH_TIMEOUT(rec.data, QStringLiteral("onethree"), kWait);
        QCOMPARE(QSet<int>(rec.requests.begin(), rec.requests.end()).size(), 3);
        QVERIFY(!rec.events.contains("peerClosed"));

        // The peer leaves; the endpoint listens again on the same port.
        third.disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(rec.events.contains("peerClosed"), kWait);
        QCOMPARE(ep.State(), 8);
        ep.Close();
        QVERIFY(ep.Listen());
        QVERIFY(knock(fourth));
        QCOMPARE(ep.State(), 7);
    }

    void failingOperationsLeavePendingError()
    {
        QtSocketEndpoint ep;
        ep.setListenAddress(QHostAddress::LocalHost);
        QSignalSpy errors(&ep, &SocketEndpoint::errorOccurred);
        const auto expectError = [&ep](bool result, int number) {
            const bool ok =
                !result && ep.pendingError().number == number && !ep.pendingError().description.isEmpty();
            ep.clearError();
            return ok;
        };

        QVERIFY(expectError(ep.setLocalPort(-1), 380));
        QVERIFY(expectError(ep.setLocalPort(65536), 380));
        QCOMPARE(ep.localPort(), 0);
        for (const char *port : {"abc", "-5", "70000", "0", "", "12x"})
            QVERIFY2(expectError(ep.Connect(QStringLiteral("127.0.0.1"), QString::fromLatin1(port)), 380),
                     port);
        QVERIFY(expectError(ep.Connect(QString(), QStringLiteral("80")), 11001));
        QVERIFY(expectError(ep.SendData(QStringLiteral("x")), 10057));
        QVERIFY(expectError(ep.Accept(1), 40006));
        QCOMPARE(ep.State(), 0);

        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        QVERIFY(ep.setLocalPort(holder.serverPort()));
        QVERIFY(expectError(ep.Listen(), 10048));
        QCOMPARE(ep.State(), 0);

        QVERIFY(ep.setLocalPort(0));
        QVERIFY(ep.Listen());
        QVERIFY(ep.localPort() > 0);
        QVERIFY(expectError(ep.setLocalPort(1234), 380));
        QVERIFY(expectError(ep.Listen(), 40006));
        QVERIFY(expectError(ep.Connect(QStringLiteral("127.0.0.1"), QStringLiteral("80")), 40006));
        QCOMPARE(ep.State(), 2);

        QTest::qWait(100);
        QCOMPARE(errors.size(), 0);
    }

    void closeInEveryStateAndConnectFailures()
    {
        QTcpServer peerServer;
        QVERIFY(peerServer.listen(QHostAddress::LocalHost, 0));
        const QString peerPort = QString::number(peerServer.serverPort());
        QtSocketEndpoint ep;
        ep.setListenAddress(QHostAddress::LocalHost);
        Recorder rec(ep);
        rec.takeOver = false;
        // Connections the endpoint gave up on still reach the peer's listener.
        const auto dropStalePeers = [&peerServer] {
            while (peerServer.hasPendingConnections())
                delete peerServer.nextPendingConnection();
        };

        // After Close the state is 0 at once, and nothing of the closed connection is reported later.
        const auto closeAndCheck = [&](int expectedState) {
            const bool wasInState = ep.State() == expectedState;
            ep.Close();
            const bool closedAtOnce = ep.State() == 0;
            rec.events.clear();
            QTest::qWait(200);
            return wasInState && closedAtOnce && rec.events.isEmpty() && ep.State() == 0;
        };

        QVERIFY(closeAndCheck(0));

        QVERIFY(ep.Listen());
        const quint16 listenPort = static_cast<quint16>(ep.localPort());
        QVERIFY(closeAndCheck(2));
        QTcpSocket knock;
        knock.connectToHost(QHostAddress::LocalHost, listenPort);
        QVERIFY(!knock.waitForConnected(kWait));
        QCOMPARE(knock.error(), QAbstractSocket::ConnectionRefusedError);

        QVERIFY(ep.Connect(kUnresolvable, QStringLiteral("9100")));
        QVERIFY(closeAndCheck(4));

        // The peer's listener completes the handshake, but the endpoint must not report it.
        QVERIFY(ep.Connect(QStringLiteral("127.0.0.1"), peerPort));
        QVERIFY(ep.State() >= 4 && ep.State() <= 6);
        QVERIFY(closeAndCheck(ep.State()));

        dropStalePeers();
        QVERIFY(ep.Connect(QStringLiteral("127.0.0.1"), peerPort));
        QTRY_COMPARE_WITH_TIMEOUT(ep.State(), 7, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(peerServer.hasPendingConnections(), kWait);
        QTcpSocket *peer = peerServer.nextPendingConnection();
        QVERIFY(ep.SendData(QString())); // its sendComplete is already queued and must be dropped
        QVERIFY(closeAndCheck(7));
        QTRY_COMPARE_WITH_TIMEOUT(peer->state(), QAbstractSocket::UnconnectedState, kWait);

        dropStalePeers();
        QVERIFY(ep.Connect(QStringLiteral("127.0.0.1"), peerPort));
        QTRY_COMPARE_WITH_TIMEOUT(ep.State(), 7, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(peerServer.hasPendingConnections(), kWait);
        peer = peerServer.nextPendingConnection();
        peer->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(ep.State(), 8, kWait);
        QVERIFY(closeAndCheck(8));

        // Failed connects arrive as error events, not as a pending error.
        const QString refusedPort = QString::number(freePort());
        QVERIFY(ep.Connect(QStringLiteral("127.0.0.1"), refusedPort));
        QVERIFY(rec.events.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{"error 10061"}, kWait);
        QVERIFY(rec.errorText.contains(QStringLiteral("Connection refused")) &&
                rec.errorText.contains(refusedPort));
        QVERIFY(!ep.pendingError().isSet());
        QVERIFY(closeAndCheck(9));

        QVERIFY(ep.Connect(kUnresolvable, QStringLiteral("9100")));
        QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{"error 11001"}, kLookupWait);
        QVERIFY(rec.errorText.startsWith(QStringLiteral("Host not found")));
        QCOMPARE(ep.State(), 9);
    }
};

QTEST_MAIN(TestSocketEndpoint)
#include "TestSocketEndpoint.moc"
