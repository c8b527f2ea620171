// The faults a plant meets, against the whole program without a window and the stand-ins of the
// PLC runtime and the printer, each a process of its own. Every gateway here runs with
// KAVETTA_HANDLER_TIMING=1 and says its longest handler on standard error when it ends.
#include "GatewayInstance.h"
#include "ModbusServerProcess.h"

namespace
{

// Every gateway here says its longest handler on standard error when it ends.
QProcessEnvironment handlerTiming()
{
    QProcessEnvironment env;
    env.insert("KAVETTA_HANDLER_TIMING", "1");
    return env;
}

QString plcValues(const PlcSimProcess &plc)
{
    QStringList out;
    PlcSimProcess::run({"read", "--port", plc.portText(), "LS.anfordErr", "LS.anfordErrText", "LS.anford"},
                       out);
    return out.join('\n');
}

} // namespace

class TestLineSafety : public QObject
{
    Q_OBJECT

private slots:
    // A printer that stops reading while it takes a large label: the label goes to the endpoint
    // once, the memory holds one copy, and after the time-out without progress the send ends
    // like a failed one. A template beyond the bound is refused with an error to the PLC.
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
        const qint64 labelBytes = 2000 * (version.size() + 7);
        QVERIFY(in.write("/Labels/big.xml",
                         "<label>" + QByteArray("<v>#version#</v>").repeated(2000) + "</label>"));
        QVERIFY(in.write("/Labels/huge.xml", "<a>" + QByteArray(3'000'000, ' ') + "</a>"));
        QVERIFY(in.writeConfig());
        in.start(handlerTiming());
        QVERIFY(plc.waitForLine("op=subscribe", 10000));
        QByteArray printed;
        QTRY_VERIFY_WITH_TIMEOUT((printed += printer.readAll()).contains("connect 127.0.0.1"), 10000);
        const qint64 idleKb = in.residentKb();

        plcRequest(plc, "/SetLabel=" + version + "#big.xml#L1#1");
        QTRY_COMPARE_WITH_TIMEOUT(in.entries("Start send Content-Length").size(), 1, 10000);
        QTest::qWait(500);
        const qint64 sentKb = in.residentKb();
        QTRY_VERIFY_WITH_TIMEOUT(!in.entries("Timeout sending: 127.0.0.1:").isEmpty(), 15000);
        QTest::qWait(3000); // the spacing would have passed again
        QCOMPARE(in.entries("Start send Content-Length").size(), 1);
        const qint64 endKb = in.residentKb();
        qInfo("resident: idle %lld kB, label sent %lld kB, after the time-out %lld kB; label %lld kB", idleKb,
              sentKb, endKb, labelBytes / 1024);
        QVERIFY2(endKb - sentKb < labelBytes / 1024, "a copy of the label more than the one sent");

        plcRequest(plc, "/SetLabel=7#huge.xml#L1#1");
        const QString values = plcValues(plc);
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
        in.start(handlerTiming());
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
        QTRY_COMPARE(in.entries("Configuration reloaded").size(), 1);
        QVERIFY2(in.entries(change).size() == 1, qPrintable(in.entries("Configuration reloaded").join('\n')));

        const qsizetype creates = newPlc.lines().filter("op=create").size();
        in.signal(SIGHUP);
        QTest::qWait(1000);
        QCOMPARE(in.entries("Configuration reloaded").size(), 1);
        QCOMPARE(newPlc.lines().filter("op=create").size(), creates);

        ModbusServerProcess modbus;
        QVERIFY(modbus.start({"--trace"}));
        QVERIFY(QFile::copy(KAVETTA_SOURCE_DIR "/examples/Line1-modbus.modbus", in.home + "/Kavetta.modbus"));
        in.config.plcPort = modbus.port();
        QVERIFY(in.writeConfig());
        in.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(!modbus.linesMatching("^read unit=1 area=c addr=0 count=1$").isEmpty(),
                                 10000);
        QCOMPARE(in.entries("PLC link runtime link -> Modbus link (Kavetta.modbus)").size(), 1);
        QVERIFY(newPlc.waitForLine("op=delete .*Line1.anford\\b", 5000));
        QVERIFY(in.stop());
    }
};

QTEST_GUILESS_MAIN(TestLineSafety)
#include "TestLineSafety.moc"
