// The PLC link's settings dialogs: which link is in use, its target, the map file and the state
// of the connection; the one call that gives either link its dialog.
#include "ModbusServerProcess.h"
#include "plc/KeloOcx.h"
#include "plc/ModbusLink.h"
#include "plc/PlcLinkFactory.h"
#include "plc/gui/KeloPropertiesDialog.h"
#include "plc/gui/ModbusPropertiesDialog.h"
#include "plc/gui/PlcLinkProperties.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace
{

template <typename T> T *openDialog()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *d = qobject_cast<T *>(w); d && d->isVisible())
            return d;
    return nullptr;
}

void writeMap(const QString &config, const QByteArray &text)
{
    QFile map(plcMapFileFor(config));
    QVERIFY(map.open(QIODevice::WriteOnly) && map.write(text) == text.size());
}

} // namespace

class TestModbusPropertiesDialog : public QObject
{
    Q_OBJECT

private slots:
    void showsLinkTargetMapAndState()
    {
        ModbusServerProcess server;
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString config = dir.filePath(u"Line1.zelb"_s);
        writeMap(config, "Line1.anford 1 coil 0 BOOL\nLine1.antwort 1 coil 1 BOOL\npoll = 25\n");
        QString problem;
        std::unique_ptr<KeloLink> made = createPlcLink(config, problem);
        auto *link = qobject_cast<ModbusLink *>(made.get());
        QVERIFY(link);
        link->setNetId(u"127.0.0.1"_s);
        link->setPort(u"1"_s);

        ModbusPropertiesDialog dialog(link);
        dialog.show();
        QCOMPARE(dialog.linkLabel()->text(), u"Modbus/TCP"_s);
        QCOMPARE(dialog.hostEdit()->text(), u"127.0.0.1"_s);
        QCOMPARE(dialog.portEdit()->text(), u"1"_s);
        QCOMPARE(dialog.mapLabel()->text(),
                 plcMapFileFor(config) + u"\n2 variables, read every 25 ms while registered"_s);
        QCOMPARE(dialog.stateLabel()->text(), u"not connected (127.0.0.1:1)"_s);

        // An unusable target is refused in the dialog and leaves the link alone.
        dialog.hostEdit()->setText(u"plc-host"_s);
        QVERIFY(!dialog.apply());
        QCOMPARE(link->netId(), u"127.0.0.1"_s);

        dialog.hostEdit()->setText(QString());
        dialog.portEdit()->setText(server.portText());
        QVERIFY(dialog.apply());
        qint32 h = 0;
        QCOMPARE(link->createVarHandle(u"Line1.anford"_s, h), 0);
        QTRY_COMPARE(dialog.stateLabel()->text(), u"connected (127.0.0.1:%1)"_s.arg(server.port()));
        server.kill();
        QTRY_COMPARE(dialog.stateLabel()->text(),
                     u"connection lost, retrying (127.0.0.1:%1)"_s.arg(server.port()));

        // A map that could not be used is shown with its message.
        const QString message = u"Modbus map /x/Line1.modbus, line 3: unknown type \"REAL\""_s;
        ModbusLink broken(u"/x/Line1.modbus"_s, message);
        QCOMPARE(ModbusPropertiesDialog(&broken).mapLabel()->text(), message);
    }

    void eachLinkGetsItsDialog()
    {
        QTemporaryDir dir;
        const QString config = dir.filePath(u"Line2.zelb"_s);
        QString problem;
        std::unique_ptr<KeloLink> kelo = createPlcLink(config, problem);
        installPlcLinkProperties(*kelo);
        QCOMPARE(kelo->showProperties(), 0);
        auto *keloDialog = openDialog<KeloPropertiesDialog>();
        QVERIFY(keloDialog);
        // The runtime link's dialog says which link it is and where a map would switch it.
        QStringList texts;
        for (QLabel *label : keloDialog->findChildren<QLabel *>())
            texts << label->text();
        QVERIFY(texts.contains(u"PLC runtime link"_s));
        QVERIFY2(texts.contains(u"none (%1 not found)"_s.arg(dir.filePath(u"Line2.modbus"_s))),
                 qPrintable(texts.join('|')));
        keloDialog->close();

        writeMap(config, "Line2.anford 1 coil 0 BOOL\n");
        std::unique_ptr<KeloLink> modbus = createPlcLink(config, problem);
        installPlcLinkProperties(*modbus);
        QCOMPARE(modbus->showProperties(), 0);
        auto *modbusDialog = openDialog<ModbusPropertiesDialog>();
        QVERIFY(modbusDialog && !modbusDialog->isModal());
        // Shown again, the same dialog comes up.
        QCOMPARE(modbus->showProperties(), 0);
        QCOMPARE(openDialog<ModbusPropertiesDialog>(), modbusDialog);
        modbusDialog->close();
        QTRY_VERIFY(!openDialog<ModbusPropertiesDialog>());
    }
};

QTEST_MAIN(TestModbusPropertiesDialog)
#include "TestModbusPropertiesDialog.moc"
