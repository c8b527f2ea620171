#include "RecordingLog.h"
#include "TestClock.h"
#include "UiFakes.h"
#include "common/Cp1252.h"
#include "common/StatusLine.h"
#include "config/Configuration.h"
#include "core/ConfigurationCommands.h"
#include "core/GatewayCore.h"
#include "ui/LevelCheckBox.h"
#include "ui/LogViewText.h"
#include "ui/frmSocket.h"

#include <QTest>
#include <QtWidgets>

static const QStringList kUnloadOrder{"plc.terminateAll", "kelo.releaseLink", "Close", "manager.disconnect",
                                      "messages.drop"};

class TestFrmSocket : public QObject
{
    Q_OBJECT

    frmSocket *m_window = nullptr;

    // A missing control ends the test with a null dereference, which the test runner reports.
    template <typename T = QWidget> T *child(const char *name) { return m_window->findChild<T *>(name); }
    void click(const char *name) { QTest::mouseClick(child(name), Qt::LeftButton); }

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
    void loadRunsInItsFixedOrder_data()
    {
        QTest::addColumn<int>("managerResult");
        QTest::addColumn<bool>("otherInstance");
        QTest::addColumn<bool>("empty"); // no module name, PLC target or tray; so no log file either
        QTest::addColumn<QStringList>("journal");
        const QStringList head{"freeSpace.check:1", "config.load", "manager.connect:Line1 Socket-Server"};
        const QStringList run{"kelo.netId=10.1.1.5.1.1", "kelo.netId2=10.1.1.5.1.1", "kelo.port=851",
                              "log.buildBackup",         "log.killOldBakFiles",      "plc.connect"};
        const QStringList checked = QStringList(head) << "instances.check";
        QTest::newRow("no manager, alone") << 2 << false << false << checked + run;
        QTest::newRow("empty configuration")
            << 2 << false << true << QStringList(checked).replaceInStrings("Line1", "") + run.last(2);
        QTest::newRow("registered with the manager") << 0 << true << false << head + run;
        QTest::newRow("manager knows the module") << 1 << false << false << head + kUnloadOrder;
        QTest::newRow("no manager, another instance") << 2 << true << false << checked + kUnloadOrder;
    }
    void loadRunsInItsFixedOrder()
    {
        QFETCH(int, managerResult);
        QFETCH(bool, otherInstance);
        QFETCH(bool, empty);
        QFETCH(QStringList, journal);
        // A fresh window over fresh fakes; the program folder is an empty temporary folder.
        QTemporaryDir dir;
        UiRig rig(dir.path());
        GatewayCore core(rig.state, rig.coreParts());
        frmSocket w(core);
        m_window = &w;
        GatewayState &s = rig.state;
        const auto writeLogFile = [&dir](const QByteArray &bytes) {
            QFile file(dir.filePath("Socketcomm-Line1-.dat"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        };
        writeLogFile(cp1252::encode("05.12.26 10:00:00 Größe über 5 €\r\nzweite Zeile\r\n"));
        rig.managerResult = managerResult;
        rig.otherInstance = otherInstance;
        if (empty)
            rig.modulName = rig.plcNetId = rig.plcPort = QString();
        rig.desktop.tray = !empty;
        w.load();
        QCOMPARE(rig.journal, journal);
        const bool ends = journal.endsWith(kUnloadOrder.last());
        QCOMPARE(w.programEnded(), ends);
        QCOMPARE(rig.endProgramCalls, ends ? 1 : 0);
        if (ends)
            return;
        const QString modul = empty ? "" : "Line1";
        QCOMPARE(w.windowTitle(), modul + " Socket-Server Vers:1.0.174  " + dir.path());
        QCOMPARE(s.applicationTitle, empty ? " Socket-Server: Empty configuration " : "Line1 Socket-Server");
        QCOMPARE(s.logFileName, dir.path() + "/Socketcomm-" + modul + "-.dat");
        auto *view = child<QPlainTextEdit>("rtfComm");
        QVERIFY(view->isHidden());
        QCOMPARE(view->toPlainText(), empty ? "" : "05.12.26 10:00:00 Größe über 5 €\nzweite Zeile\n");
        QCOMPARE(w.baseHeight(), w.height() * 15);
        // With a tray the window hides into it; without one the operator must still reach it.
        QCOMPARE(w.isVisible(), empty);
        QCOMPARE(w.isMinimized(), empty);
        if (managerResult != 0) // the rest works the configured window once
            return;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        view->clear();

        click("chkHistory");
        QVERIFY(view->isVisible());
        const int shownHeight = qRound((view->height() * 15 + w.baseHeight() + 1000) / 15.0);
        QCOMPARE(w.height(), shownHeight);
        QVERIFY(view->toPlainText().contains("zwei")); // the click refreshed it

        // A repaint brings back the ruled height after someone else resized the window.
        w.resize(w.width(), shownHeight + 120);
        QTRY_COMPARE(w.height(), shownHeight);

        // Key release applies the rule too.
        child("chkHistory")->setFocus();
        QTest::keyClick(child("chkHistory"), Qt::Key_Space);
        QVERIFY(view->isHidden());
        QCOMPARE(w.height(), w.baseHeight() / 15);

        // Refresh shows the log again and marks the last occurrence of the error's first line.
        writeLogFile("09:00:00 start\r\n09:01:00 Error Connect <7>\r\n09:02:00 ok\r\n09:03:00 later\r\n");
        s.setLblError("09:01:00 Error Connect <7>\r\nHost unreachable");
        click("cmdRefresh");
        QVERIFY(view->isVisible());
        QCOMPARE(view->textCursor().selectedText(), "09:01:00 Error Connect <7>");
        s.setLblError({});
        click("cmdRefresh");
        QVERIFY(view->textCursor().selectedText().isEmpty());

        QVERIFY(!child<QMenu>("mnuPopupBAB")->menuAction()->isVisible());
        QVERIFY(core.supervisionTimer()->isActive() && core.supervisionTimer()->interval() == 500);
        QVERIFY(!core.responseTimer()->isActive());
        // The operator's commands below are checked against the fakes' journal alone.
        core.supervisionTimer()->stop();

        rig.journal.clear();
        s.remoteHost = "127.0.0.1";
        s.socketPort = "9100";
        for (const char *name : {"cmdConnect", "cmdClose", "cmdSave", "mnuSave", "mnuSaveAs", "mnuLoad",
                                 "mnuKELOProp", "mnuReConnect", "mnuPopup1"})
            child<QAction>(name) ? child<QAction>(name)->trigger() : click(name);
        QCOMPARE(rig.journal,
                 (QStringList{"Connect:127.0.0.1:9100", "Close", "config.save", "config.save",
                              "config.saveAs", "config.load", "kelo.showProperties", "plc.connect"}));

        auto locked = [&](bool expected) {
            for (const char *name : {"txtServer", "txtNetId", "txtPort", "txtModulname", "txtMasch", "txtIP",
                                     "txtSocket", "txtTimeout"})
                QCOMPARE(std::pair(child<QLineEdit>(name)->isReadOnly(),
                                   child(name)->focusPolicy() == Qt::ClickFocus),
                         std::pair(expected, expected));
            QVERIFY(!child<QLineEdit>("txtSendData")->isReadOnly());
            QCOMPARE(child<QAction>("mnuEditModus")->isChecked(), !expected);
        };
        locked(true);
        child<QAction>("mnuEditModus")->trigger();
        locked(false);
        QCOMPARE(child("chkServer")->focusPolicy(), Qt::StrongFocus);

        // What the operator types reaches the state; a non-number is marked but kept.
        auto *remotePort = child<QLineEdit>("txtSocket");
        QTest::keyClicks(remotePort, "91x");
        QCOMPARE(s.txtSocket, "91x");
        QVERIFY(remotePort->property("notANumber").toBool());
        QTest::keyClick(remotePort, Qt::Key_Backspace);
        QVERIFY(!remotePort->property("notANumber").toBool());

        click("cmdLoad"); // any load locks the settings again
        locked(true);
        QTest::keyClicks(child("txtSendData"), "abc");
        QCOMPARE(s.txtSendData, "abc");
        s.txtSendData += u'ä';

        // Client role: queued for the PLC cycle, converted when asked for.
        s.chkUTF8 = 1;
        click("cmdSend");
        s.chkUTF8 = 0;
        click("cmdSend");
        // Server role: straight to the endpoint, never converted, nothing queued.
        s.chkServer = s.chkUTF8 = 1;
        rig.socket.failSend = true;
        click("cmdSend");
        QVERIFY(!rig.socket.pendingError().isSet()); // the failure does not outlive the click
        rig.socket.failSend = false;
        click("cmdSend");
        QCOMPARE(rig.socket.sent, QStringList{"abcä"});
        QCOMPARE(s.sendQueue, (QStringList{"abc\u00c3\u00a4", "abcä"}));

        // Three-state boxes step 0, 1, 2, 0, 1 by mouse only; a level set by a load is shown, grayed
        // is level 2, and the next press gives 0.
        s.cmdConnectVisible = false; // shown by the next notify as well
        const Qt::CheckState shown[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
        for (const char *name : {"chkStatus", "chkXML"}) {
            auto *box = child<LevelCheckBox>(name);
            const bool status = name == QLatin1String("chkStatus");
            const qint16 &level = status ? s.statusLevel : s.xmlExportLevel;
            for (int expected : {1, 2, 0, 1}) {
                QTest::mouseClick(box, Qt::LeftButton);
                QCOMPARE(level, expected);
                QCOMPARE(box->checkState(), shown[expected]);
            }
            box->setFocus();
            QTest::keyClick(box, Qt::Key_Space);
            QCOMPARE(level, 1);
            QCOMPARE(box->checkState(), Qt::Checked);
            (status ? s.chkStatus : s.chkXML) = 2;
            s.notify();
            QCOMPARE(box->checkState(), Qt::PartiallyChecked);
            QTest::mouseClick(box, Qt::LeftButton);
            QCOMPARE(level, 0);
        }
        QVERIFY(child("cmdConnect")->isHidden() && !child("cmdClose")->isHidden());

        rig.journal.clear();
        child<QAction>("mnu_exit")->trigger();
        QCOMPARE(rig.endProgramCalls, 1);
        QVERIFY(!w.isVisible() && !core.supervisionTimer()->isActive());
        w.close(); // the platform closing it later does not take things down twice
        QCOMPARE(rig.journal, kUnloadOrder);
        QCOMPARE(rig.endProgramCalls, 1);
    }

    void logViewShowsTheEndOfALargeFile()
    {
        QTemporaryDir dir;
        // A folder cannot be read as a file: the view stays empty and nothing is reported.
        QCOMPARE(logViewText(dir.path()), QString());
        // A large file is shown from a whole line near its end, with a note in front.
        QFile file(dir.filePath("big.dat"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 400; ++i)
            file.write("10:00:00 Zeile " + QByteArray::number(i) + " \xe4\xf6\xfc\r\n");
        file.close();
        const QStringList lines = logViewText(file.fileName(), 1000).split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.first().startsWith("...") && lines.size() > 10 && lines.size() < 60);
        QVERIFY(lines.value(1).startsWith("10:00:00 Zeile "));
        QCOMPARE(lines.last(), "10:00:00 Zeile 399 äöü");
        QCOMPARE(logViewText(file.fileName()).count('\n'), 400);
    }

    // The example configuration in the real window: no caption cut off, and pictures of the
    // window saved into the build folder (over docs/images with KAVETTA_UPDATE_SCREENSHOTS set).
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

QTEST_MAIN(TestFrmSocket)
#include "TestFrmSocket.moc"
