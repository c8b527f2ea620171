// The printer stand-in, as far as the gateway's tests rely on it: its answers, its refusals and
// its stalls, and the documents it keeps.
#include "PrinterSim.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
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
    void answersLateInOrderedPiecesThenCloses()
    {
        Options o;
        o.reply = "ACK %n %r;";
        o.delayMs = 50;
        o.pieces = 3;
        o.pieceGapMs = 40;
        o.closeAfterReply = true;
        Sim sim(o);
        QVERIFY(sim.start(nullptr));
        QTcpSocket client;
        int arrivals = 0;
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] {
            ++arrivals;
            got += client.readAll();
        });
        QVERIFY(connectTo(client, sim.port()));
        // Two documents at once: the second answer must not start before the first one is out,
        // and the connection ends after the first.
        client.write("Content-Length: 6\n\n<a\xE4/>xContent-Length: 2\n\nzz");
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 5000);
        QCOMPARE(got, QByteArray("ACK 6 <a\xE4/>x;"));
        QVERIFY2(arrivals > 2, "the answer came in one piece");
        QVERIFY(sim.lines.contains(u"request bytes=6 text=<a\u00e4/>x"_s));
    }

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

    void savesEachDocumentNumbered()
    {
        // Numbering goes on after the documents already in the folder.
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(u"docs/new"_s);
        QDir().mkpath(dir);
        QVERIFY(QFile(dir + u"/doc-00007.dat"_s).open(QIODevice::WriteOnly));
        Options o;
        o.saveDir = dir;
        Sim sim(o);
        QVERIFY(sim.start(nullptr));
        QTcpSocket client;
        QVERIFY(connectTo(client, sim.port()));
        client.write(QByteArray("Content-Length: 3\n\n\xE4\0bContent-Length: 1\n\nc", 42));
        QTRY_COMPARE_WITH_TIMEOUT(sim.lines.filter(u"saved "_s).size(), 2, 5000);
        const auto content = [&](const QString &name) {
            QFile f(dir + u'/' + name);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("missing");
        };
        QCOMPARE(content(u"doc-00008.dat"_s), QByteArray("\xE4\0b", 3));
        QCOMPARE(content(u"doc-00009.dat"_s), QByteArray("c"));
    }
};

QTEST_GUILESS_MAIN(TestPrinterSim)
#include "TestPrinterSim.moc"
