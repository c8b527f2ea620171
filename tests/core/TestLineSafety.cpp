// The faults a plant meets, against the whole program without a window and the stand-ins of the
// PLC runtime and the printer, each a process of its own.
#include "GatewayInstance.h"
#include "ModbusServerProcess.h"

#include <QTcpServer>

class TestLineSafety : public QObject
{
    Q_OBJECT

private slots:
    // A printer that stops reading while it takes a large label: the label goes to the endpoint
    // once, and after the time-out without progress the send ends like a failed one. A template
    // beyond the bound is refused with an error to the PLC. The gateway times its handlers and
    // says the longest on standard error when it ends.
    void printerThatStopsReadingAndOversizedTemplate()
    {
        GatewayInstance in;
        PlcSimProcess plc;
        QVERIFY(plc.start({"--module", "LS", "--trace"}));
        QProcess printer;
        in.config.remotePort = startPrinter(printer, {"--no-read"});
        in.config.plcPort = plc.port();
        in.config.timeout = "3";
        // A small template that a long version fills up to a label of almost 4 MB, more than the
        // kernel's buffers take from a connection that is not read.
        const QString version(1900, QLatin1Char('V'));
        QVERIFY(in.write("/Labels/big.xml",
                         "<label>" + QByteArray("<v>#version#</v>").repeated(2000) + "</label>"));
        QVERIFY(in.write("/Labels/huge.xml", "<a>" + QByteArray(3'000'000, ' ') + "</a>"));
        QVERIFY(in.writeConfig());
        QProcessEnvironment timing;
        timing.insert("KAVETTA_HANDLER_TIMING", "1");
        in.start(timing);
        QVERIFY(plc.waitForLine("op=subscribe", 10000));
        QByteArray printed;
        QTRY_VERIFY_WITH_TIMEOUT((printed += printer.readAll()).contains("connect 127.0.0.1"), 10000);

        plcRequest(plc, "/SetLabel=" + version + "#big.xml#L1#1");
        QTRY_COMPARE_WITH_TIMEOUT(in.entries("Start send Content-Length").size(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!in.entries("Timeout sending: 127.0.0.1:").isEmpty(), 15000);
        QTest::qWait(3000); // the spacing would have passed again
        QCOMPARE(in.entries("Start send Content-Length").size(), 1);

        plcRequest(plc, "/SetLabel=7#huge.xml#L1#1");
        QStringList out; // read once the request is done
        PlcSimProcess::run(
            {"read", "--port", plc.portText(), "LS.anfordErr", "LS.anfordErrText", "LS.anford"}, out);
        const QString values = out.join('\n');
        QVERIFY2(values.contains("LS.anfordErr=1") && values.contains("Template too large") &&
                     values.contains("LS.anford=false"),
                 qPrintable(values));
        QCOMPARE(in.entries("Start send Content-Length").size(), 1);
        QVERIFY(in.stop());
    }

    // SIGHUP after the PLC port was changed in the file: the gateway leaves the old runtime and
    // makes its handles at the new one; a second reload of the same file changes nothing. A
    // variable map laid beside the file then switches the instance to the Modbus link.
    void reloadAppliesANewPlcPortAndLink()
    {
        GatewayInstance in;
        in.config.modul = "Line1"; // the example variable map's module
        PlcSimProcess oldPlc, newPlc;
        QVERIFY(oldPlc.start({"--module", "Line1", "--trace"}));
        QVERIFY(newPlc.start({"--module", "Line1", "--trace"}));
        in.config.plcPort = oldPlc.port();
        in.config.remotePort = freePort();
        QVERIFY(in.writeConfig());
        in.start();
        QVERIFY(oldPlc.waitForLine("op=subscribe .*Line1.anford", 10000));

        in.config.plcPort = newPlc.port();
        QVERIFY(in.writeConfig());
        in.signal(SIGHUP);
        QVERIFY(newPlc.waitForLine("op=subscribe .*Line1.anford", 10000));
        QVERIFY(oldPlc.waitForLine("op=delete .*Line1.anford\\b", 5000));
        const QString change =
            QStringLiteral("Configuration reloaded: PLC target 127.0.0.1:%1 -> 127.0.0.1:%2")
                .arg(oldPlc.port())
                .arg(newPlc.port());
        QTRY_COMPARE(in.entries(change).size(), 1);

        const qsizetype creates = newPlc.lines().filter("op=create").size();
        in.signal(SIGHUP);
        QTest::qWait(1000);
        QVERIFY(in.entries("Configuration reloaded").size() == 1 &&
                newPlc.lines().filter("op=create").size() == creates);

        ModbusServerProcess modbus;
        QVERIFY(modbus.start({"--trace"}));
        QVERIFY(QFile::copy(KAVETTA_SOURCE_DIR "/examples/Line1-modbus.modbus", in.home + "/Kavetta.modbus"));
        in.config.plcPort = modbus.port();
        QVERIFY(in.writeConfig());
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(!modbus.linesMatching("^read unit=1 area=c addr=0 count=1$").isEmpty(),
                                 10000);
        QCOMPARE(in.entries("PLC link runtime link -> Modbus link (Kavetta.modbus)").size(), 1);
        QVERIFY(in.stop());
    }

    // A reload of a file that "--check" rejects (a misspelled record that would take the printer
    // port away) keeps the running line on what it loaded: the printer connection stays, a
    // request still goes out, and the error entry names file, line and problem. Once the file
    // is right again, the next reload takes it.
    void reloadRefusesAFileWithErrors()
    {
        GatewayInstance in;
        PlcSimProcess plc;
        QVERIFY(plc.start({"--module", "LS", "--trace"}));
        QProcess printer;
        in.config.remotePort = startPrinter(printer, {});
        in.config.plcPort = plc.port();
        in.config.staticConnection = true;
        QVERIFY(in.writeConfig());
        in.start();
        QVERIFY(plc.waitForLine("op=subscribe", 10000));
        QByteArray printed;
        QTRY_VERIFY_WITH_TIMEOUT((printed += printer.readAll()).contains("connect 127.0.0.1"), 10000);

        QByteArray broken = in.config.text();
        broken.replace("\"RemotePort\"", "\"RemotPort\"");
        QVERIFY(in.write("/Kavetta.zelb", broken));
        in.signal(SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(in.entries("Configuration not reloaded").size(), 1, 5000);
        const QString entry = in.entries("Configuration not reloaded").constFirst();
        QVERIFY2(entry.contains(in.home + "/Kavetta.zelb:8: unknown record \"RemotPort\" (did you mean "
                                          "\"RemotePort\"?)"),
                 qPrintable(entry));
        QVERIFY(in.entries("Configuration reloaded").isEmpty());
        plcRequest(plc, "after the refused reload");
        QTRY_VERIFY_WITH_TIMEOUT((printed += printer.readAll()).contains("after the refused reload"), 10000);

        in.config.remotePort = 1;
        QVERIFY(in.writeConfig());
        in.signal(SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(in.entries("Configuration reloaded: peer").size(), 1, 5000);
        QVERIFY(in.stop());
    }

    // The server role on a port another program holds: the record that says why nothing listens
    // reaches the communication log, although it was made before the load named the log file.
    void serverPortTakenAtLoadIsLogged()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        GatewayInstance in;
        in.config.server = true;
        in.config.remotePort = holder.serverPort();
        QVERIFY(in.writeConfig());
        in.start();
        QFile log(in.home + "/Socketcomm-LS-.dat");
        QTRY_VERIFY_WITH_TIMEOUT(log.exists(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(
            (log.open(QIODevice::ReadOnly), log.seek(0),
             log.readAll().contains("Error Listen Port: <" + QByteArray::number(holder.serverPort()))),
            5000);
        QVERIFY(in.stop());
    }
};

QTEST_GUILESS_MAIN(TestLineSafety)
#include "TestLineSafety.moc"
