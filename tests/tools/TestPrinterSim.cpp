// The printer stand-in's options that change while it runs: its refusals and its stalls.
#include "PrinterSim.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;
using Options = PrinterSim::Options;

namespace
{

Options onFreePort(Options o)
{
    o.port = 0;
    return o;
}

// The stand-in on a free port with its event lines collected.
struct Sim : PrinterSim {
    QStringList lines;
    explicit Sim(const Options &o) : PrinterSim(onFreePort(o))
    {
        onLine = [this](const QString &l) { lines << l; };
    }
};

bool connectTo(QTcpSocket &client, quint16 port)
{
    client.connectToHost(QHostAddress::LocalHost, port);
    return client.waitForConnected(5000);
}

QByteArray answer(QTcpSocket &client, int size)
{
    return QTest::qWaitFor([&] { return client.bytesAvailable() >= size; }, 5000) ? client.readAll() : "none";
}

} // namespace

class TestPrinterSim : public QObject
{
    Q_OBJECT

private slots:
    void refusesAndComesBackOnTheSamePort()
    {
        Options o;
        o.refuse = true;
        Sim sim(o);
        QVERIFY(sim.start(nullptr));
        const quint16 port = sim.port();
        const auto refused = [port] {
            QTcpSocket client;
            return !connectTo(client, port) && client.error() == QAbstractSocket::ConnectionRefusedError;
        };
        QVERIFY(refused());
        o.refuse = false;
        QVERIFY(sim.setOptions(o));
        QCOMPARE(sim.port(), port);
        QTcpSocket client;
        QVERIFY(connectTo(client, port));
        client.write("hi");
        QCOMPARE(answer(client, 2), QByteArray("OK"));
        // Refusing again leaves a connection made before working.
        o.refuse = true;
        QVERIFY(sim.setOptions(o));
        QVERIFY(refused());
        client.write("again");
        QCOMPARE(answer(client, 2), QByteArray("OK"));
    }

    void acceptsAndNeverReadsUntilToldTo()
    {
        Options o;
        o.noRead = true;
        Sim sim(o);
        QSignalSpy documents(&sim, &PrinterSim::documentReceived);
        QVERIFY(sim.start(nullptr));
        QTcpSocket client;
        QVERIFY(connectTo(client, sim.port()));
        const QByteArray body(10 * 1024 * 1024, 'x'); // more than the kernel buffers on both sides hold
        client.write("Content-Length: " + QByteArray::number(body.size()) + "\n\n" + body);
        QTest::qWait(300);
        QVERIFY2(client.bytesToWrite() > body.size() / 2, qPrintable(QString::number(client.bytesToWrite())));
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        QVERIFY(documents.isEmpty());

        // The printer recovers: what it held is read and answered.
        o.noRead = false;
        QVERIFY(sim.setOptions(o));
        QTRY_COMPARE_WITH_TIMEOUT(documents.size(), 1, 20000);
        QCOMPARE(documents.at(0).at(0).toByteArray().size(), body.size());
        QCOMPARE(answer(client, 2), QByteArray("OK"));
    }
};

QTEST_GUILESS_MAIN(TestPrinterSim)
#include "TestPrinterSim.moc"
