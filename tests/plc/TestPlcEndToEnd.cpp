// What the whole program writes to the event log while its PLC runtime is gone or knows another
// module.
#include "GatewayInstance.h"

#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

class TestPlcEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void eventLogSaysWhyTheLinkIsDownAndWhenItIsBack()
    {
        // The real program, started while no runtime listens on its PLC port.
        GatewayInstance in("Line1");
        const quint16 port = freePort();
        in.config.plcPort = port;
        in.config.remotePort = freePort();
        QVERIFY(in.writeConfig());
        in.start();
        const auto linkEntries = [&] {
            return in.entries().filter(QRegularExpression(u"^PLC link( down| back|:)"_s));
        };
        const QString target = u"the PLC runtime at 127.0.0.1:%1"_s.arg(port);
        const QString down =
                          u"PLC link down: cannot connect to %1: connection refused (nothing listens on that "
                          u"port). The link keeps trying."_s.arg(target),
                      back = u"PLC link back: connected to %1."_s.arg(target);

        // One entry for the whole episode, however often the link retries.
        QTRY_COMPARE_WITH_TIMEOUT(linkEntries(), QStringList{down}, 10000);
        QTest::qWait(1500);
        QCOMPARE(linkEntries(), QStringList{down});

        // A runtime that knows another module: the link is back, but the variables are not there.
        // Gone again, then back with the right module.
        PlcSimProcess plc;
        QVERIFY(plc.start({u"--module"_s, u"Other"_s}, port));
        const QString unknown =
            u"PLC link: no variable Line1.SendData at %1; is the module name Line1 right?"_s.arg(target);
        QTRY_COMPARE_WITH_TIMEOUT(linkEntries(), (QStringList{down, back, unknown}), 10000);
        plc.kill();
        QTRY_COMPARE_WITH_TIMEOUT(linkEntries().size(), 4, 10000);
        QVERIFY(plc.start({u"--module"_s, u"Line1"_s}, port));
        QTRY_COMPARE_WITH_TIMEOUT(
            linkEntries(),
            (QStringList{down, back, unknown, down, back,
                         u"PLC link back: variable Line1.SendData found at %1."_s.arg(target)}),
            10000);
        QVERIFY(in.stop());
    }
};

QTEST_GUILESS_MAIN(TestPlcEndToEnd)
#include "TestPlcEndToEnd.moc"
