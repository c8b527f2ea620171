#include "PrinterSim.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

class TestPrinterSim : public QObject
{
    Q_OBJECT

private slots:
    void splitsFramesAndPlainRequests()
    {
        QByteArray buffer = "Content-Length: 5\n\nhelloplain textContent-Length: 3\n\nab";
        QCOMPARE(PrinterSim::takeRequests(buffer), (QList<QByteArray>{"hello", "plain text"}));
        QCOMPARE(buffer, QByteArray("Content-Length: 3\n\nab")); // waits for the last byte
        buffer.append('c');
        QCOMPARE(PrinterSim::takeRequests(buffer), QList<QByteArray>{"abc"});
        QVERIFY(buffer.isEmpty());

        buffer = "Content-Length: 4";
        QVERIFY(PrinterSim::takeRequests(buffer).isEmpty()); // header not complete

        buffer = "Content-Length: -1\n\nxyz";
        QCOMPARE(PrinterSim::takeRequests(buffer), QList<QByteArray>{"Content-Length: -1\n\nxyz"});
        buffer = "Content-Length: 99999999999\n\nx";
        QCOMPARE(PrinterSim::takeRequests(buffer).size(), 1);
        QVERIFY(buffer.isEmpty());
    }

    void answersEachDocument()
    {
        PrinterSim::Options o;
        o.port = 0;
        o.reply = "ACK %n";
        o.closeAfterReply = true;
        PrinterSim sim(o);
        QStringList lines;
        sim.onLine = [&lines](const QString &l) { lines << l; };
        QVERIFY(sim.start(nullptr));

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, sim.port());
        QVERIFY(client.waitForConnected(5000));
        client.write("Content-Length: 6\n\n<a\xE4/>x");
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= 5, 5000);
        QCOMPARE(client.readAll(), QByteArray("ACK 6"));
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 5000);
        QVERIFY(lines.contains(QStringLiteral("request bytes=6 text=<aä/>x")));
    }
};

QTEST_GUILESS_MAIN(TestPrinterSim)
#include "TestPrinterSim.moc"
