#include "RecordingLog.h"
#include "TestClock.h"
#include "UiFakes.h"
#include "common/Cp1252.h"
#include "common/StatusLine.h"
#include "config/Configuration.h"
#include "core/ConfigurationCommands.h"
#include "core/GatewayCore.h"
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

    // Saves a picture of the window into the build folder (and over docs/images when asked to).
    static void save(QWidget &w, const QString &name)
    {
        const QPixmap picture = w.grab();
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
        QCOMPARE(std::pair(w.programEnded(), rig.endProgramCalls), std::pair(ends, ends ? 1 : 0));
        if (ends)
            return;
        const QString modul = empty ? "" : "Line1";
        QCOMPARE(w.windowTitle(), modul + " Socket-Server Vers:1.0.174  " + dir.path());
        QCOMPARE(s.applicationTitle, empty ? " Socket-Server: Empty configuration " : "Line1 Socket-Server");
        QCOMPARE(s.logFileName, dir.path() + "/Socketcomm-" + modul + "-.dat");
        auto *view = child<QPlainTextEdit>("rtfComm");
        QVERIFY(view->isHidden());
        QCOMPARE(view->toPlainText(), empty ? "" : "05.12.26 10:00:00 Größe über 5 €\nzweite Zeile\n");
        // With a tray the window hides into it; without one the operator must still reach it.
        QCOMPARE(std::pair(w.isVisible(), w.isMinimized()), std::pair(empty, empty));
        if (managerResult != 0) // the rest works the configured window once
            return;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        view->clear();
        click("chkHistory");
        QVERIFY(view->isVisible() && view->toPlainText().contains("zwei")); // the click refreshed it
        QCOMPARE(w.height(), qRound((view->height() * 15 + w.baseHeight() + 1000) / 15.0));

        // Refresh shows the log again and marks the last occurrence of the error's first line.
        writeLogFile("09:00:00 start\r\n09:01:00 Error Connect <7>\r\n09:02:00 ok\r\n09:03:00 later\r\n");
        s.setLblError("09:01:00 Error Connect <7>\r\nHost unreachable");
        click("cmdRefresh");
        QCOMPARE(view->textCursor().selectedText(), "09:01:00 Error Connect <7>");

        QVERIFY(core.supervisionTimer()->isActive() && core.supervisionTimer()->interval() == 500);
        // The operator's commands below are checked against the fakes' journal alone.
        core.supervisionTimer()->stop();

        rig.journal.clear();
        s.settings.remoteHost = "127.0.0.1";
        s.settings.remotePort = "9100";
        for (const char *name : {"cmdConnect", "cmdClose", "cmdSave", "mnuSave", "mnuSaveAs", "mnuLoad",
                                 "mnuKELOProp", "mnuReConnect", "mnuPopup1"})
            child<QAction>(name) ? child<QAction>(name)->trigger() : click(name);
        QCOMPARE(rig.journal,
                 (QStringList{"Connect:127.0.0.1:9100", "Close", "config.save", "config.save",
                              "config.saveAs", "config.load", "kelo.showProperties", "plc.connect"}));

        // The settings are locked outside edit mode and after any load.
        const auto locked = [&] { return child<QLineEdit>("txtTimeout")->isReadOnly(); };
        QVERIFY(locked());
        child<QAction>("mnuEditModus")->trigger();
        QVERIFY(!locked());
        click("cmdLoad");
        QVERIFY(locked());
        QTest::keyClicks(child("txtSendData"), "abc"); // what the operator types reaches the state
        QCOMPARE(s.sendText, "abc");
        s.sendText += u'ä';

        // Client role: queued for the PLC cycle, converted when asked for.
        s.settings.sendUtf8 = true;
        click("cmdSend");
        s.settings.sendUtf8 = false;
        click("cmdSend");
        // Server role: straight to the endpoint, never converted, nothing queued.
        s.settings.serverRole = s.settings.sendUtf8 = true;
        click("cmdSend");
        QCOMPARE(rig.socket.sent, QStringList{"abcä"});
        QCOMPARE(s.sendQueue, (QStringList{"abc\u00c3\u00a4", "abcä"}));

        // A three-state box steps 0, 1, 2, 0 by mouse.
        for (int expected : {1, 2, 0}) {
            click("chkStatus");
            QCOMPARE(s.settings.statusLevel, expected);
        }

        rig.journal.clear();
        child<QAction>("mnu_exit")->trigger();
        QVERIFY(rig.endProgramCalls == 1 && !w.isVisible() && !core.supervisionTimer()->isActive());
        w.close(); // the platform closing it later does not take things down twice
        QCOMPARE(rig.journal, kUnloadOrder);
        QCOMPARE(rig.endProgramCalls, 1);
    }

    // A click on a settings box counts at the cycles' next tick; what is typed into a settings
    // field counts only once the configuration is saved or loaded.
    void clicksCountAtOnceTypingAfterSave()
    {
        QTemporaryDir dir;
        UiRig rig(dir.path());
        RecordingLog log;
        rig.state.configFile = dir.filePath("Kavetta.zelb");
        Configuration configuration(rig.state, rig.socket, log, rig.desktop);
        ConfigurationCommands commands(configuration);
        GatewayCore core(rig.state, rig.coreParts(&commands));
        frmSocket w(core);
        m_window = &w;
        w.load();
        core.supervisionTimer()->stop();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const Settings &settings = rig.state.settings;

        click("chkCon");
        click("chkReset");
        QVERIFY(settings.staticConnection && !settings.dropRequestOnError);

        child<QAction>("mnuEditModus")->trigger();
        QTest::keyClicks(child("txtSocket"), "9200");
        QTest::keyClicks(child("txtTimeout"), "5");
        QTest::keyClicks(child("txtModulname"), "Line9");
        QCOMPARE(rig.state.edited.remotePort, "9200");
        QVERIFY(settings.remotePort.isEmpty() && settings.timeoutSeconds == 2 &&
                settings.moduleName.isEmpty());

        click("cmdSave");
        QCOMPARE((QStringList{settings.remotePort, settings.moduleName}), (QStringList{"9200", "Line9"}));
        QCOMPARE(settings.timeoutSeconds, 5);
    }

    void logViewShowsTheEndOfALargeFile()
    {
        QTemporaryDir dir;
        // A large file is shown from a whole line near its end, with a note in front.
        QFile file(dir.filePath("big.dat"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 400; ++i)
            file.write("10:00:00 Zeile " + QByteArray::number(i) + " \xe4\xf6\xfc\r\n");
        file.close();
        const QStringList lines = logViewText(file.fileName(), 1000).split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.first().startsWith("...") && lines.size() > 10 && lines.size() < 60);
        QCOMPARE(lines.last(), "10:00:00 Zeile 399 äöü");
    }

    // The example configuration in the real window, pictures saved for the documentation.
    void exampleConfigurationInTheWindow()
    {
        TestClock clock(QDateTime(QDate(2026, 12, 5), QTime(10, 14, 3)));
        // A fixed folder of the build, so the pictures show a steady path.
        const QString folder = KAVETTA_BINARY_DIR "/artefacts/kavetta";
        QVERIFY(QDir().mkpath(folder));
        UiRig rig(folder);
        RecordingLog log;
        rig.state.configFile = KAVETTA_SOURCE_DIR "/examples/Kavetta.zelb";
        Configuration configuration(rig.state, rig.socket, log, rig.desktop);
        ConfigurationCommands commands(configuration);

        GatewayCore core(rig.state, rig.coreParts(&commands));
        frmSocket window(core);
        window.load();
        QCOMPARE(window.findChild<QLineEdit *>("txtSocket")->text(), "9100");
        rig.state.setLblState("Port Connected\r\n Pending senddata:1 Request Time:3");
        rig.state.setLblError(statusLine("Timeout connecting: 127.0.0.1:9100"));
        rig.state.sendText = "/SetLabel Charge=A4717";
        rig.state.notify();

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        save(window, "main-window.png");

        // The longest texts the labels get, at the window's narrowest: a state of three lines, a
        // status line that wraps beside a second one. Each fits whole (at any font resolution:
        // QT_FONT_DPI=144 runs the same).
        window.resize(window.minimumSizeHint().width(), window.height());
        rig.state.setLblState("Port Closed\r\n Try to connect: 15\r\n Timeout (sec):12");
        rig.state.setLblError(
            statusLine("Request dropped after a socket error (Connection refused: "
                       "127.0.0.1:9100): /SetLabel=2.1#etikett.xml#L4711#3 Charge A4717 Teil 3") +
            "\r\nConnection refused: 127.0.0.1:9100");
        rig.state.notify();
        QCoreApplication::processEvents();
        for (const char *name : {"lblState", "lblError"}) {
            auto *label = window.findChild<QLabel *>(name);
            const int needed = label->heightForWidth(label->width());
            QVERIFY2(needed <= label->height(), qPrintable(QStringLiteral("%1 needs %2 pixels, has %3")
                                                               .arg(QLatin1String(name))
                                                               .arg(needed)
                                                               .arg(label->height())));
        }
        save(window, "main-window-long-texts.png");
    }
};

QTEST_MAIN(TestFrmSocket)
#include "TestFrmSocket.moc"
