// A journal that cannot be used is never silent: said once when the gateway starts (not again at
// every reload while it stays so), shown in /status and in a metric, and the queues go on
// without it; once it can be used again the status says so.
#include "GatewayInstance.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace
{

QByteArray get(quint16 port, const QByteArray &path)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000))
        return {};
    s.write("GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QByteArray all;
    while (s.waitForReadyRead(2000))
        all += s.readAll();
    return all.mid(all.indexOf("\r\n\r\n") + 4);
}

} // namespace

class TestJournalReports : public QObject
{
    Q_OBJECT

private slots:
    void anUnusableJournalIsSaidOnceAndShown()
    {
        GatewayInstance in;
        PlcSimProcess plc;
        QVERIFY(plc.start({u"--module"_s, u"LS"_s}));
        in.config.plcPort = plc.port();
        in.config.remotePort = freePort();
        // Where the journal file would be, a folder: it cannot be opened.
        QVERIFY(QDir().mkpath(in.home + u"/Kavetta.journal/x"_s));
        const quint16 port = freePort();
        const QByteArray options =
            "[journal]\nenabled = true\n[status]\nport = " + QByteArray::number(port) + '\n';
        QVERIFY(in.writeConfig() && in.writeOptions(options));
        in.start();
        const auto journal = [&] {
            return QJsonDocument::fromJson(get(port, "/status")).object().value(u"journal"_s).toObject();
        };
        QTRY_VERIFY_WITH_TIMEOUT(journal().value(u"enabled"_s).toBool(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!in.entries(u"cannot be used"_s).isEmpty(), 5000);
        QTest::qWait(1000);
        QVERIFY2(in.entries(u"cannot be used"_s).size() == 1, qPrintable(in.entries().join(u'\n')));
        QVERIFY(in.entries(u"cannot be used"_s).first().contains(u"Kavetta.journal"_s));
        QCOMPARE(journal().value(u"ok"_s).toBool(), false);
        QVERIFY(!journal().value(u"problem"_s).toString().isEmpty());
        QVERIFY(get(port, "/metrics").contains("\nkavetta_journal_ok{module=\"LS\"} 0\n"));

        // A reload with the journal still unusable says nothing new.
        in.signal(SIGHUP);
        QTest::qWait(1500);
        QCOMPARE(in.entries(u"cannot be used"_s).size(), 1);

        // The folder gone, a reload opens the journal: ok again.
        QVERIFY(QDir(in.home + u"/Kavetta.journal"_s).removeRecursively());
        QVERIFY(in.writeOptions(options + "; again\n"));
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(journal().value(u"ok"_s).toBool(), 5000);
        QVERIFY(get(port, "/metrics").contains("\nkavetta_journal_ok{module=\"LS\"} 1\n"));
        QVERIFY(in.stop());
    }
};

QTEST_GUILESS_MAIN(TestJournalReports)
#include "TestJournalReports.moc"
