// The stand-ins that the gateway tests count on: when one of them fakes success, a test of the
// gateway passes without the gateway doing its work. Each check here is what such a test relies
// on: the printer keeps exactly the bytes it got, answers with the request and really stops
// reading; the PLC's request script fails when nobody takes its request.
#include "GatewayInstance.h"

#include <QTcpSocket>

class TestStandIns : public QObject
{
    Q_OBJECT

private slots:
    void printerKeepsAnswersAndStalls()
    {
        QTemporaryDir saved;
        QProcess printer;
        const quint16 port = startPrinter(printer, {"--reply", "A %r\\n", "--save", saved.path()});
        QVERIFY(port);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peer.waitForConnected(3000));
        peer.write("R1");
        QByteArray answer;
        QVERIFY(QTest::qWaitFor([&] { return (answer += peer.readAll()).size() >= 5; }, 3000));
        QCOMPARE(answer, QByteArray("A R1\n"));
        peer.write(QByteArrayLiteral("Content-Length: 7\n\nHE\nLLO\0"));
        QTRY_COMPARE(QDir(saved.path()).entryList(QDir::Files).size(), 2);
        QStringList bodies;
        for (const QFileInfo &doc : QDir(saved.path()).entryInfoList(QDir::Files, QDir::Name)) {
            QFile file(doc.filePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            bodies << QString::fromLatin1(file.readAll().toHex());
        }
        QCOMPARE(bodies, (QStringList{"5231", "48450a4c4c4f00"}));
        printer.kill();
        printer.waitForFinished();

        // A printer that never reads: 16 MB stay unsent on this side.
        const quint16 stalled = startPrinter(printer, {"--no-read"});
        QVERIFY(stalled);
        QTcpSocket writer;
        writer.connectToHost(QHostAddress::LocalHost, stalled);
        QVERIFY(writer.waitForConnected(3000));
        writer.write(QByteArray(16 << 20, 'x'));
        QTest::qWait(1000);
        QVERIFY(writer.bytesToWrite() > (8 << 20));
        printer.kill();
        printer.waitForFinished();
    }

    void plcRequestFailsWhenNobodyTakesIt()
    {
        PlcSimProcess plc;
        QVERIFY(plc.start({"--module", "SI"}));
        QStringList out;
        QCOMPARE(PlcSimProcess::run({"request", "--port", plc.portText(), "--module", "SI", "--data", "X",
                                     "--timeout-ms", "300"},
                                    out),
                 3);
    }
};

QTEST_GUILESS_MAIN(TestStandIns)
#include "TestStandIns.moc"
