// The PLC link's settings dialog: it edits the link's target and shows its connection state.
#include "PlcSimProcess.h"
#include "plc/KeloOcx.h"
#include "plc/gui/KeloPropertiesDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

class TestKeloPropertiesDialog : public QObject
{
    Q_OBJECT

private slots:
    void editsTargetAndShowsState();
};

void TestKeloPropertiesDialog::editsTargetAndShowsState()
{
    PlcSimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--module"), QStringLiteral("D")}));
    KeloOcx link;
    link.setNetId(QStringLiteral("127.0.0.1"));
    link.setPort(QStringLiteral("1"));
    KeloPropertiesDialog *open = nullptr;
    link.setPropertiesHandler([&] {
        if (!open)
            open = new KeloPropertiesDialog(&link);
        open->refresh();
        open->show();
    });
    QCOMPARE(link.showProperties(), 0);
    QVERIFY(open && open->isVisible());
    QVERIFY(!open->isModal());
    QCOMPARE(open->hostEdit()->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(open->portEdit()->text(), QStringLiteral("1"));
    QCOMPARE(open->stateLabel()->text(), QStringLiteral("not connected"));

    // An unusable address is refused in the dialog and leaves the link alone.
    open->hostEdit()->setText(QStringLiteral("plc-host"));
    QVERIFY(!open->apply());
    QCOMPARE(link.netId(), QStringLiteral("127.0.0.1"));

    open->hostEdit()->setText(QString());
    open->portEdit()->setText(sim.portText());
    QVERIFY(open->apply());
    QCOMPARE(link.netId(), QString());
    QCOMPARE(link.port(), sim.portText());
    qint32 h = 0;
    QCOMPARE(link.createVarHandle(QStringLiteral("D.anford"), h), 0);
    QTRY_COMPARE(open->stateLabel()->text(), QStringLiteral("connected, PLC program running"));
    sim.command(QStringLiteral("stop"));
    QTRY_COMPARE(open->stateLabel()->text(), QStringLiteral("connected, PLC program stopped"));
    sim.kill();
    QTRY_COMPARE(open->stateLabel()->text(), QStringLiteral("connection lost, retrying"));
    delete open;
}

QTEST_MAIN(TestKeloPropertiesDialog)
#include "TestKeloPropertiesDialog.moc"
