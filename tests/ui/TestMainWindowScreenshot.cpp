#include "RecordingLog.h"
#include "TestClock.h"
#include "UiFakes.h"
#include "common/Cp1252.h"
#include "common/StatusLine.h"
#include "config/Configuration.h"
#include "core/ConfigurationCommands.h"
#include "core/GatewayCore.h"
#include "ui/frmSocket.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

// Loads the example configuration into the real window, checks that no caption is cut off,
// and saves pictures of the window: into the build folder always, and over the ones in
// docs/images when KAVETTA_UPDATE_SCREENSHOTS is set.
class TestMainWindowScreenshot : public QObject
{
    Q_OBJECT

    // Checks that every caption of a label or button fits (word-wrapped labels may take more
    // lines), then saves a picture of the window.
    static void checkAndSave(QWidget &w, const QString &name)
    {
        for (QWidget *child : w.findChildren<QWidget *>()) {
            auto *label = qobject_cast<QLabel *>(child);
            if (child->isVisible() &&
                (label ? !label->wordWrap() : qobject_cast<QAbstractButton *>(child) != nullptr))
                QVERIFY2(child->width() >= child->minimumSizeHint().width(),
                         qPrintable(child->objectName() + ' ' + child->property("text").toString()));
        }
        const QPixmap picture = w.grab();
        QVERIFY(!picture.isNull());
        QVERIFY(picture.save(KAVETTA_BINARY_DIR "/artefacts/" + name));
        if (qEnvironmentVariableIsSet("KAVETTA_UPDATE_SCREENSHOTS"))
            QVERIFY(picture.save(KAVETTA_SOURCE_DIR "/docs/images/" + name));
    }

private slots:
    void exampleConfigurationInTheWindow_data()
    {
        QTest::addColumn<double>("fontScale");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("96 dpi") << 1.0 << QString();
        QTest::newRow("144 dpi text") << 1.5 << QString("-144dpi");
    }
    void exampleConfigurationInTheWindow()
    {
        QFETCH(double, fontScale);
        QFETCH(QString, suffix);
        const QFont original = QApplication::font();
        QFont scaled = original;
        scaled.setPointSizeF(original.pointSizeF() * fontScale);
        QApplication::setFont(scaled);

        TestClock clock(QDateTime(QDate(2026, 12, 5), QTime(10, 14, 3)));
        // A fixed folder of the build, so the pictures show a steady path.
        const QString folder = KAVETTA_BINARY_DIR "/artefacts/kavetta";
        QDir(folder).removeRecursively();
        QVERIFY(QDir().mkpath(folder));
        UiRig rig(folder);
        RecordingLog log;
        rig.state.configFile = KAVETTA_SOURCE_DIR "/examples/Kavetta.zelb";
        Configuration configuration(rig.state, rig.socket, log, rig.desktop);
        ConfigurationCommands commands(configuration);

        QFile logFile(folder + "/Socketcomm-Line1-.dat");
        QVERIFY(logFile.open(QIODevice::WriteOnly));
        for (int i = 0; i < 6; ++i)
            logFile.write(cp1252::encode(
                statusLine(clock.now().addSecs(60 * (i - 6)),
                           QString("Request Line1 %1 ms: /SetLabel Charge=A%2").arg(12 + i).arg(4711 + i)) +
                "\r\n"));
        logFile.write(cp1252::encode(statusLine("Timeout connecting: 127.0.0.1:9100") + "\r\n"));
        logFile.close();

        GatewayCore core(rig.state, rig.coreParts(&commands));
        frmSocket window(core);
        window.load();
        QCOMPARE(window.findChild<QLineEdit *>("txtSocket")->text(), "9100");
        QVERIFY(!window.findChild<QWidget *>("cmdConnect")->isHidden());
        rig.state.setLblState("Port Connected\r\n Pending senddata:1 Request Time:3");
        rig.state.setLblError(statusLine("Timeout connecting: 127.0.0.1:9100"));
        rig.state.txtSendData = "/SetLabel Charge=A4717";
        rig.state.notify();

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        checkAndSave(window, "main-window" + suffix + ".png");

        QTest::mouseClick(window.findChild<QAbstractButton *>("chkHistory"), Qt::LeftButton);
        QVERIFY(window.findChild<QPlainTextEdit *>("rtfComm")->isVisible());
        QTRY_COMPARE(window.height(), window.ruledHeight());
        QTest::qWait(100); // the view drops its scroll bar after the layout settles
        checkAndSave(window, "main-window-history" + suffix + ".png");

        // Back at the base height: nothing of the hidden log view shows below the button row.
        QTest::mouseClick(window.findChild<QAbstractButton *>("chkHistory"), Qt::LeftButton);
        QTRY_COMPARE(window.height(), window.baseHeight() / 15);
        const QImage base = window.grab().toImage();
        const QWidget *lowest = window.findChild<QWidget *>("cmdSave");
        const int below = lowest->mapTo(&window, QPoint(0, lowest->height())).y() + 1;
        QVERIFY(below < base.height());
        const QRgb background = base.pixel(base.width() / 2, base.height() - 1);
        for (int y = below; y < base.height(); ++y)
            for (int x = 0; x < base.width(); ++x)
                QVERIFY2(base.pixel(x, y) == background, qPrintable(QString("pixel %1,%2").arg(x).arg(y)));
        QApplication::setFont(original);
    }
};

QTEST_MAIN(TestMainWindowScreenshot)
#include "TestMainWindowScreenshot.moc"
