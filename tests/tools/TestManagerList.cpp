// "kavetta-manager list" on a machine where the instances run as services: no session bus, no
// manager, and instance folders side by side, one running with a status endpoint, one without
// an endpoint and one whose endpoint nobody answers.
#include "GatewayInstance.h"

#include <QTcpSocket>

using namespace Qt::StringLiterals;

class TestManagerList : public QObject
{
    Q_OBJECT

private slots:
    void listsServiceInstancesWithoutAManager()
    {
        GatewayInstance running("Svc1");
        const quint16 port = freePort();
        running.config.remotePort = freePort();
        QVERIFY(running.writeConfig() &&
                running.writeOptions("[status]\nport = " + QByteArray::number(port) + '\n'));
        running.start();
        QTRY_VERIFY_WITH_TIMEOUT(
            [port] {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                return s.waitForConnected(200);
            }(),
            10000);
        // Two more folders beside the running instance's: "quiet" names an endpoint nobody
        // serves, "plain" none.
        const QString root = running.dir.path();
        for (const char *name : {"quiet", "plain"})
            QVERIFY(QDir(root).mkdir(QLatin1String(name)));
        QFile::copy(running.home + u"/Kavetta.zelb"_s, root + u"/quiet/Kavetta.zelb"_s);
        QFile::copy(running.home + u"/Kavetta.zelb"_s, root + u"/plain/Kavetta.zelb"_s);
        QFile ini(root + u"/quiet/Kavetta.ini"_s);
        QVERIFY(ini.open(QIODevice::WriteOnly) &&
                ini.write("[status]\nport = " + QByteArray::number(freePort())));
        ini.close();

        QProcess list;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
        env.insert(u"DISPLAY"_s, QString()); // no bus can be started for a display either
        env.insert(u"KAVETTA_INSTANCES_ROOT"_s, root);
        list.setProcessEnvironment(env);
        list.start(QStringLiteral(KAVETTA_BINARY_DIR "/tools/manager/kavetta-manager"), {u"list"_s});
        QVERIFY(list.waitForFinished(20000));
        const QString out = QString::fromUtf8(list.readAllStandardOutput() + list.readAllStandardError());
        QVERIFY2(list.exitCode() == 0, qPrintable(out));
        for (const QString &line :
             {u"No session bus here"_s, u"service Server: module Svc1, PLC "_s,
              u"service plain: state not known: no status endpoint (set [status] port in "_s,
              u"service quiet: not running (nothing answers at its status endpoint 127.0.0.1 port"_s})
            QVERIFY2(out.contains(line), qPrintable(line + u" not in\n"_s + out));
        QVERIFY2(!out.contains(u"org.freedesktop.DBus.Error"_s), qPrintable(out));
        QVERIFY(running.stop());
    }
};

QTEST_GUILESS_MAIN(TestManagerList)
#include "TestManagerList.moc"
