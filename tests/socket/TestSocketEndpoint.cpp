#include "GatewayProcess.h"
#include "common/Cp1252.h"
#include "socket/QtSocketEndpoint.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <numeric>

constexpr int kWait = 10000;
// A host name that cannot resolve. Its first label is longer than a DNS label may be, so the
// lookup fails on this machine without asking any name server.
static const QString kUnresolvable = QString(64, QLatin1Char('p')) + QStringLiteral(".invalid");

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
            const QString text = endpoint.getData();
            countsMatch = countsMatch && text.size() == bytes && endpoint.getData().isEmpty();
            data += text;
            events << "data";
        });
    }
    QtSocketEndpoint &endpoint;
    QList<int> states;
    QStringList events;
    QString data, errorText;
    bool countsMatch = true;
};

class TestSocketEndpoint : public QObject
{
    Q_OBJECT
private slots:
    void clientLifecycleErrorsAndCloseInEveryState()
    {
        QTcpServer peerServer;
        QVERIFY(peerServer.listen(QHostAddress::LocalHost, 0));
        const QString peerPort = QString::number(peerServer.serverPort());
        QtSocketEndpoint ep;
        ep.setListenAddress(QHostAddress::LocalHost);
        Recorder rec(ep);
        // Connects to the peer's listener, dropping connections the endpoint gave up on; no event
        // may come from inside connectToPeer().
        const auto connectPeer = [&]() -> QTcpSocket * {
            while (peerServer.hasPendingConnections())
                delete peerServer.nextPendingConnection();
            rec.states.clear();
            if (!ep.connectToPeer(QStringLiteral("127.0.0.1"), peerPort) || !rec.states.isEmpty() ||
                !rec.events.isEmpty() ||
                !QTest::qWaitFor([&] { return peerServer.hasPendingConnections(); }, kWait))
                return nullptr;
            return peerServer.nextPendingConnection();
        };
        // Refused operations leave a pending error and never an error event.
        const auto expectError = [&](bool result, int number) {
            const bool ok = !result && ep.pendingError().number == number &&
                            !ep.pendingError().description.isEmpty() && rec.events.isEmpty();
            ep.clearError();
            return ok;
        };
        // After Close the state is 0 at once, and nothing of the closed connection is reported later.
        const auto closeAndCheck = [&](int expectedState) {
            const bool wasInState = ep.state() == expectedState;
            ep.close();
            const bool closedAtOnce = ep.state() == 0;
            rec.events.clear();
            QTest::qWait(200);
            return wasInState && closedAtOnce && rec.events.isEmpty() && ep.state() == 0;
        };

        QVERIFY(expectError(ep.setLocalPort(-1), 380));
        QVERIFY(expectError(ep.setLocalPort(65536), 380));
        QCOMPARE(ep.localPort(), 0);
        for (const char *port : {"abc", "-5", "70000", "0", "", "12x"})
            QVERIFY2(
                expectError(ep.connectToPeer(QStringLiteral("127.0.0.1"), QString::fromLatin1(port)), 380),
                port);
        QVERIFY(expectError(ep.connectToPeer(QString(), QStringLiteral("80")), 11001));
        QVERIFY(expectError(ep.sendData(QStringLiteral("x")), 10057));
        QVERIFY(expectError(ep.accept(1), 40006));
        QVERIFY(ep.setLocalPort(peerServer.serverPort()));
        QVERIFY(expectError(ep.listen(), 10048));
        QVERIFY(closeAndCheck(0));

        QVERIFY(ep.setLocalPort(0));
        QVERIFY(ep.listen());
        const quint16 listenPort = static_cast<quint16>(ep.localPort());
        QVERIFY(listenPort > 0);
        QVERIFY(expectError(ep.setLocalPort(1234), 380));
        QVERIFY(expectError(ep.listen(), 40006));
        QVERIFY(expectError(ep.connectToPeer(QStringLiteral("127.0.0.1"), QStringLiteral("80")), 40006));
        QVERIFY(closeAndCheck(2));
        QTcpSocket knock;
        knock.connectToHost(QHostAddress::LocalHost, listenPort);
        QTRY_COMPARE_WITH_TIMEOUT(knock.error(), QAbstractSocket::ConnectionRefusedError, kWait);

        QVERIFY(ep.connectToPeer(kUnresolvable, QStringLiteral("9100")));
        QVERIFY(closeAndCheck(4));

        // The peer's listener completes the handshake, but the endpoint must not report it.
        QVERIFY(ep.connectToPeer(QStringLiteral("127.0.0.1"), peerPort));
        QVERIFY(ep.state() >= 4 && ep.state() <= 6);
        QVERIFY(closeAndCheck(ep.state()));

        QTcpSocket *peer = connectPeer();
        QVERIFY(peer);
        QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{"connected"}, kWait);
        QCOMPARE(rec.states, (QList<int>{4, 5, 6, 7}));
        // A text of byte values goes out as those bytes; characters of the code page as theirs.
        QByteArray expected(256, 0);
        std::iota(expected.begin(), expected.end(), char(0));
        QVERIFY(ep.sendData(QString::fromLatin1(expected) + QChar(0x20AC)));
        QVERIFY2(!rec.events.contains("sendComplete"), "no event inside SendData");
        QByteArray got; // the endpoint writes from this thread's event loop, so the wait must spin it
        QTRY_COMPARE_WITH_TIMEOUT(got += peer->readAll(), expected + '\x80', kWait);
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.count("sendComplete"), 1, kWait);

        peer->write(expected.mid(0x80));
        QTRY_COMPARE_WITH_TIMEOUT(rec.data, cp1252::decode(expected.mid(0x80)), kWait);
        QVERIFY(rec.countsMatch);

        // Data sent just before the peer leaves comes before the close.
        rec.events.clear();
        rec.data.clear();
        peer->write("bye");
        peer->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(rec.events.contains("peerClosed"), kWait);
        QCOMPARE(rec.data, QStringLiteral("bye"));
        QCOMPARE(rec.events.first(), QStringLiteral("data"));
        rec.events.clear();
        QVERIFY(expectError(ep.sendData(QStringLiteral("late")), 10057));
        QVERIFY(closeAndCheck(8));

        peer = connectPeer();
        QTRY_VERIFY_WITH_TIMEOUT(peer && ep.state() == 7, kWait);
        QVERIFY(ep.sendData(QString())); // its sendComplete is already queued and must be dropped
        QVERIFY(closeAndCheck(7));
        QTRY_COMPARE_WITH_TIMEOUT(peer->state(), QAbstractSocket::UnconnectedState, kWait);

        // Failed connects arrive as error events, not as a pending error.
        const QString refusedPort = QString::number(freePort());
        QVERIFY(ep.connectToPeer(QStringLiteral("127.0.0.1"), refusedPort));
        QVERIFY(rec.events.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{"error 10061"}, kWait);
        QVERIFY(rec.errorText.contains(QStringLiteral("Connection refused")) &&
                rec.errorText.contains(refusedPort));
        QVERIFY(!ep.pendingError().isSet());
        QVERIFY(closeAndCheck(9));

        QVERIFY(ep.connectToPeer(kUnresolvable, QStringLiteral("9100")));
        QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{"error 11001"}, 60000);
        QVERIFY(rec.errorText.startsWith(QStringLiteral("Host not found")));
        QCOMPARE(ep.state(), 9);
    }

    // A text of megabytes goes out byte for byte in the order given, also across the pieces the
    // endpoint cuts it into, and a close leaves nothing of it for the next connection.
    void largeTextInPieces()
    {
        QTcpServer peerServer;
        QVERIFY(peerServer.listen(QHostAddress::LocalHost, 0));
        QtSocketEndpoint ep;
        Recorder rec(ep);
        qint64 unsentAtComplete = -1;
        connect(&ep, &SocketEndpoint::sendComplete, this, [&] { unsentAtComplete = ep.bytesToSend(); });
        const auto connectPeer = [&]() -> QTcpSocket * {
            if (!ep.connectToPeer(QStringLiteral("127.0.0.1"), QString::number(peerServer.serverPort())) ||
                !QTest::qWaitFor([&] { return peerServer.hasPendingConnections() && ep.state() == 7; },
                                 kWait))
                return nullptr;
            return peerServer.nextPendingConnection();
        };

        // Characters of the code page and beyond it, a pair of halves across every place where
        // the endpoint would cut a quarter megabyte (one '?' each), and a lone half (a '?' of its
        // own).
        QString text;
        QByteArray expected;
        for (char letter = 'a'; text.size() < qsizetype(3) * 1024 * 1024; ++letter) {
            const QString piece = QString(262141, QLatin1Char(letter)) + QChar(0x20AC) + QChar(0xE4);
            text += piece;
            expected += QByteArray(piece.size() - 2, letter) + "\x80\xe4";
            text += u"\U0001F600"_qs;
            expected += '?';
        }
        text += QChar(0xD800) + QStringLiteral("?end");
        expected += "??end";

        QTcpSocket *peer = connectPeer();
        QVERIFY(peer);
        QVERIFY(ep.sendData(text));
        QVERIFY(ep.sendData(QStringLiteral("+next")));
        QVERIFY(ep.bytesToSend() >= expected.size() + 5);
        QByteArray got;
        QTRY_COMPARE_WITH_TIMEOUT((got += peer->readAll()).size(), expected.size() + 5, kWait);
        QVERIFY(got == expected + "+next");
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.count("sendComplete"), 1, kWait);
        QCOMPARE(unsentAtComplete, 0);
        QVERIFY(!ep.sendPending());

        // Closed with most of a text still in hand: the next connection carries only its own.
        QVERIFY(ep.sendData(text));
        ep.close();
        peer = connectPeer();
        QVERIFY(peer);
        QVERIFY(ep.sendData(QStringLiteral("fresh")));
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.count("sendComplete"), 2, kWait);
        QTest::qWait(100);
        QCOMPARE(peer->readAll(), QByteArray("fresh"));
    }
};

QTEST_MAIN(TestSocketEndpoint)
#include "TestSocketEndpoint.moc"
