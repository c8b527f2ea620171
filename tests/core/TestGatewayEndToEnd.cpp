// The whole program, without a window, between the PLC runtime stand-in and the printer
// stand-in, each a process of its own: what a plant sees of the gateway.
#include "GatewayInstance.h"
#include "common/Cp1252.h"

class TestGatewayEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void requestsLabelsAndErrorsThroughTheWholeGateway()
    {
        GatewayInstance in("E2E");
        const QString printed = in.dir.filePath("printed");
        QVERIFY(QDir().mkpath(printed) && QDir().mkpath(in.dir.filePath("Data/System")));
        QVERIFY(
            QFile::copy(KAVETTA_SOURCE_DIR "/examples/Labels/etikett.xml", in.home + "/Labels/etikett.xml"));
        QVERIFY(QFile::copy(KAVETTA_SOURCE_DIR "/examples/System/prog.mdb",
                            in.dir.filePath("Data/System/prog.mdb")));
        PlcSimProcess plc;
        QVERIFY(plc.start({"--module", "E2E", "--trace"}));
        QProcess printer;
        in.config.remotePort = startPrinter(printer, {"--reply", "OK %n", "--save", printed});
        in.config.plcPort = plc.port();
        QVERIFY(in.config.remotePort && in.writeConfig());
        in.start();
        QVERIFY(plc.waitForLine("op=subscribe .*E2E.anford", 10000));

        QStringList out;
        const auto request = [&](const QString &data, const char *timeout = "8000") {
            return PlcSimProcess::run({"request", "--port", plc.portText(), "--module", "E2E", "--data", data,
                                       "--timeout-ms", timeout},
                                      out);
        };
        const auto document = [&](int n) {
            QFile f(printed + QString("/doc-%1.dat").arg(n, 5, 10, QChar('0')));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
        };

        // Plain data arrives byte for byte in the code page; the answer comes back to the PLC.
        QCOMPARE(request(u"Grüße 5 € "_qs), 0);
        QVERIFY2(out.filter("answer").value(0).contains("data=OK 9"), qPrintable(out.join('\n')));
        QCOMPARE(document(1), cp1252::encode(u"Grüße 5 €"_qs));

        // A label filled from the print database.
        QCOMPARE(request("/SetLabel=2.1#etikett.xml#L4711#3"), 0);
        const QByteArray label = document(2);
        QVERIFY2(label.contains("C-2026-12") && label.contains("4711-3") && label.startsWith("<?xml"), label);

        // A label whose template is missing: the error goes to the PLC, no document, the flag
        // is reset all the same.
        request("/SetLabel=2.1#fehlt.xml#L4711#3", "1500");
        PlcSimProcess::run(
            {"read", "--port", plc.portText(), "E2E.anfordErr", "E2E.anfordErrText", "E2E.anford"}, out);
        const QString values = out.join('\n');
        QVERIFY2(!values.contains("E2E.anfordErr=0") && values.contains("E2E.anford=false") &&
                     QRegularExpression("E2E.anfordErrText=.+").match(values).hasMatch(),
                 qPrintable(values));
        QVERIFY(!QFile::exists(printed + "/doc-00003.dat"));

        // Each request has its line in the communication log.
        QFile log(in.home + "/Socketcomm-E2E-.dat");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString records = cp1252::decode(log.readAll());
        QVERIFY2(
            QRegularExpression(u" \\(\\d+ msec\\)  Send Data:Grüße 5 €\r\r\n"_qs).match(records).hasMatch(),
            qPrintable(records));
        QVERIFY(records.contains("Send Data:/SetLabel=2.1#etikett.xml#L4711#3"));

        // SIGTERM: the normal unload, every handle released, status 0. The gateway was the first
        // client to make handles; it releases the notification first, then its seven handles in
        // their fixed order.
        QVERIFY(in.stop());
        QVERIFY(plc.waitForLine("op=delete .*E2E.anford\\b", 5000));
        const QStringList lines = plc.lines();
        const QString client = QRegularExpression("client=(\\S+) op=create")
                                   .match(lines.filter("op=create").value(0))
                                   .captured(1);
        QStringList released;
        for (const QString &line : lines.filter(" client=" + client + " op="))
            if (line.contains("op=delete") || line.contains("op=unsubscribe"))
                released << line.section("name=", 1);
        QCOMPARE(released,
                 (QStringList{"E2E.anford", "E2E.ConnectStatus", "E2E.anford", "E2E.antwort", "E2E.anfordErr",
                              "E2E.anfordErrText", "E2E.SendData", "E2E.RecData"}));
        QCOMPARE(lines.filter(" client=" + client + " op=create").size(), 7);
    }
};

QTEST_GUILESS_MAIN(TestGatewayEndToEnd)
#include "TestGatewayEndToEnd.moc"
