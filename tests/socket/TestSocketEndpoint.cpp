#include "common/Cp1252.h"
#include "socket/QtSocketEndpoint.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace
{

constexpr int kWait = 10000;
// A host name that cannot resolve. Its first label is longer than a DNS label may be, so the
// lookup fails on this machine without asking any name server.
const QString kUnresolvable = QString(64, QLatin1Char('p')) + QStringLiteral(".invalid");
constexpr int kLookupWait = 60000;

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString byteValues(int from, int to)
{
    QString text;
    for (int c = from; c <= to; ++c)
        text += QChar(c);
    return text;
}

// Spins the loop: the endpoint on the other end writes from the same thread's event loop.
QByteArray readExactly(QTcpSocket &socket, qsizetype size)
{
    QByteArray bytes;
    QDeadlineTimer deadline(kWait);
    while (bytes.size() < size && !deadline.hasExpired()) {
        bytes += socket.readAll();
        if (bytes.size() < size)
            QTest::qWait(10);
    }
    return bytes;
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

} // namespace

class TestSocketEndpoint : public QObject
{
    Q_OBJECT
private slots:
    void clientExchangesExactBytes();
    void serverAcceptsAndDecidesOnSecondRequest();
    void failingOperationsLeavePendingError();
    void connectFailuresArriveAsErrorEvents();
    void closeInEveryState();
};

void TestSocketEndpoint::clientExchangesExactBytes()
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
    QVERIFY(ep.SendData(byteValues(0, 255) + QChar(0x20AC)));
    QVERIFY2(!rec.events.contains("sendComplete"), "no event inside SendData");
    QByteArray expected;
    for (int b = 0; b < 256; ++b)
        expected += static_cast<char>(b);
    expected += '\x80';
    QCOMPARE(readExactly(*peer, expected.size()), expected);
    QTRY_COMPARE_WITH_TIMEOUT(rec.events.count("sendComplete"), 1, kWait);

    QByteArray high;
    for (int b = 0x80; b < 256; ++b)
        high += static_cast<char>(b);
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

void TestSocketEndpoint::serverAcceptsAndDecidesOnSecondRequest()
{
    QtSocketEndpoint ep;
    ep.setListenAddress(QHostAddress::LocalHost);
    Recorder rec(ep);
    const quint16 port = freePort();
    QVERIFY(ep.setLocalPort(port));
    QVERIFY(ep.Listen());
    QCOMPARE(ep.State(), 2);

    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(rec.requests.size(), 1, kWait);
    QVERIFY(rec.accepted);
    QCOMPARE(ep.State(), 7);
    QVERIFY(ep.SendData(QStringLiteral("ack")));
    QCOMPARE(readExactly(first, 3), QByteArray("ack"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.events.count("sendComplete"), 1, kWait);

    // Turned away: the newcomer is closed, the first peer keeps its connection.
    rec.takeOver = false;
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(rec.requests.size(), 2, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), QAbstractSocket::UnconnectedState, kWait);
    QCOMPARE(ep.State(), 7);
    first.write("one");
    QTRY_COMPARE_WITH_TIMEOUT(rec.data, QStringLiteral("one"), kWait);

    // Taken over: the first peer is dropped without a peerClosed for it.
    rec.takeOver = true;
    QTcpSocket third;
    third.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(rec.requests.size(), 3, kWait);
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
    QTcpSocket fourth;
    fourth.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(rec.requests.size(), 4, kWait);
    QCOMPARE(ep.State(), 7);
}

void TestSocketEndpoint::failingOperationsLeavePendingError()
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
        QVERIFY2(expectError(ep.Connect(QStringLiteral("127.0.0.1"), QString::fromLatin1(port)), 380), port);
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

void TestSocketEndpoint::connectFailuresArriveAsErrorEvents()
{
    QtSocketEndpoint ep;
    Recorder rec(ep);
    const QString port = QString::number(freePort());

    QVERIFY(ep.Connect(QStringLiteral("127.0.0.1"), port));
    QVERIFY(rec.events.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{"error 10061"}, kWait);
    QVERIFY(rec.errorText.contains(QStringLiteral("Connection refused")));
    QVERIFY(rec.errorText.contains(port));
    QCOMPARE(ep.State(), 9);
    QVERIFY(!ep.pendingError().isSet());
    ep.Close();

    rec.events.clear();
    QVERIFY(ep.Connect(kUnresolvable, QStringLiteral("9100")));
    QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{"error 11001"}, kLookupWait);
    QVERIFY(rec.errorText.startsWith(QStringLiteral("Host not found")));
    QCOMPARE(ep.State(), 9);
}

void TestSocketEndpoint::closeInEveryState()
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
        if (ep.State() != expectedState)
            return false;
        ep.Close();
        if (ep.State() != 0)
            return false;
        rec.events.clear();
        QTest::qWait(200);
        return rec.events.isEmpty() && ep.State() == 0;
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

    QVERIFY(ep.Connect(QStringLiteral("127.0.0.1"), QString::number(freePort())));
    QTRY_COMPARE_WITH_TIMEOUT(ep.State(), 9, kWait);
    QVERIFY(closeAndCheck(9));
}

QTEST_MAIN(TestSocketEndpoint)
#include "TestSocketEndpoint.moc"
