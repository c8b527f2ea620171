// The PLC links' settings dialog, as the window opens it: which link is in use, its target,
// the map file and the state of the connection.
#include "ModbusServerProcess.h"
#include "PlcSimProcess.h"
#include "plclink/ModbusLink.h"
#include "plclink/PlcLinkFactory.h"
#include "plclink/RuntimeLink.h"
#include "plclink/gui/PlcLinkDialog.h"
#include "plclink/gui/PlcLinkProperties.h"

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

// The link for the configuration file, with the window's dialog and the target 127.0.0.1:1.
std::unique_ptr<PlcLink> linkFor(const QString &config)
{
    QString problem;
    std::unique_ptr<PlcLink> link = createPlcLink(config, problem);
    installPlcLinkProperties(*link);
    link->setNetId(u"127.0.0.1"_s);
    link->setPort(u"1"_s);
    return link;
}

// Either link: an unusable host is refused and leaves the link alone; an empty one means this
// workstation, and the link then reaches the PLC on the port applied.
void applyTarget(PlcLinkDialog &dialog, PlcLink &link, const QString &port, const QString &name)
{
    QCOMPARE(dialog.hostEdit()->text(), u"127.0.0.1"_s);
    QCOMPARE(dialog.portEdit()->text(), u"1"_s);
    dialog.hostEdit()->setText(u"plc-host"_s);
    QVERIFY(!dialog.apply());
    QCOMPARE(link.netId(), u"127.0.0.1"_s);
    dialog.hostEdit()->setText(QString());
    dialog.portEdit()->setText(port);
    QVERIFY(dialog.apply());
    QCOMPARE(link.port(), port);
    qint32 h = 0;
    QCOMPARE(link.createVarHandle(name, h), 0);
}

} // namespace

class TestPlcLinkDialogs : public QObject
{
    Q_OBJECT

private slots:
    void runtimeLinkDialog()
    {
        PlcSimProcess sim;
        QVERIFY(sim.start({u"--module"_s, u"D"_s}));
        QTemporaryDir dir;
        const std::unique_ptr<PlcLink> link = linkFor(dir.filePath(u"Line2.zelb"_s));
        QCOMPARE(link->showProperties(), 0);
        auto *dialog = openDialog<PlcLinkDialog>();
        QVERIFY(dialog && !dialog->isModal());
        // The runtime's part: no map in use, the file that would select the Modbus link, the
        // state without an address.
        QCOMPARE(dialog->linkLabel()->text(), u"PLC runtime link"_s);
        QVERIFY(dialog->mapLabel());
        QCOMPARE(dialog->mapLabel()->text(),
                 u"none (%1 not found)"_s.arg(plcMapFileFor(dir.filePath(u"Line2.zelb"_s))));
        QCOMPARE(dialog->stateLabel()->text(), u"not connected"_s);

        applyTarget(*dialog, *link, sim.portText(), u"D.anford"_s);
        QCOMPARE(link->netId(), QString());
        sim.command(u"stop"_s);
        QTRY_COMPARE(dialog->stateLabel()->text(), u"connected, PLC program stopped"_s);
        sim.kill();
        QTRY_COMPARE(dialog->stateLabel()->text(), u"connection lost, retrying"_s);
        dialog->close();
    }

    void modbusLinkDialog()
    {
        ModbusServerProcess server;
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString config = dir.filePath(u"Line1.zelb"_s);
        QFile map(plcMapFileFor(config));
        QVERIFY(map.open(QIODevice::WriteOnly) &&
                map.write("Line1.anford 1 coil 0 BOOL\nLine1.antwort 1 coil 1 BOOL\npoll = 25\n") > 0);
        map.close();
        const std::unique_ptr<PlcLink> link = linkFor(config);
        QVERIFY(qobject_cast<ModbusLink *>(link.get()));
        QCOMPARE(link->showProperties(), 0);
        auto *dialog = openDialog<PlcLinkDialog>();
        QVERIFY(dialog && !dialog->isModal());
        QCOMPARE(dialog->linkLabel()->text(), u"Modbus/TCP"_s);
        QCOMPARE(dialog->mapLabel()->text(),
                 plcMapFileFor(config) + u"\n2 variables, read every 25 ms while registered"_s);
        QCOMPARE(dialog->stateLabel()->text(), u"not connected (127.0.0.1:1)"_s);

        applyTarget(*dialog, *link, server.portText(), u"Line1.anford"_s);
        QTRY_COMPARE(dialog->stateLabel()->text(), u"connected (127.0.0.1:%1)"_s.arg(server.port()));
        server.kill();
        QTRY_COMPARE(dialog->stateLabel()->text(),
                     u"connection lost, retrying (127.0.0.1:%1)"_s.arg(server.port()));
        dialog->close();
    }
};

QTEST_MAIN(TestPlcLinkDialogs)
#include "TestPlcLinkDialogs.moc"
