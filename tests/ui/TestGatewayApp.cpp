#include "core/InstanceCheck.h"
#include "ui/GatewayApp.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMainWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The whole program in this process: real components, the example configuration, and the
// operator's Exit.
class TestGatewayApp : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_home; // the program folder, named Server as on the plants

    static QMainWindow *mainWindow()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("frmSocket"))
                return qobject_cast<QMainWindow *>(w);
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        m_home = m_root.filePath("Server");
        QVERIFY(QDir().mkpath(m_home));
        qputenv("KAVETTA_HOME", m_home.toUtf8());
        qputenv("KAVETTA_EVENTLOG", m_root.filePath("events.log").toUtf8());
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_root.filePath("xdg"));
        QVERIFY(QFile::copy(KAVETTA_SOURCE_DIR "/examples/Kavetta.zelb", m_home + "/Kavetta.zelb"));
    }

    void startsLoadedAndEndsThroughExit()
    {
        QString title, modul;
        bool minimised = false;
        QTimer::singleShot(0, this, [&] {
            QMainWindow *window = mainWindow();
            auto *exit = window ? window->findChild<QAction *>("mnu_exit") : nullptr;
            if (!exit)
                return QApplication::exit(3);
            title = window->windowTitle();
            minimised = window->isVisible() && window->isMinimized();
            modul = window->findChild<QLineEdit *>("txtModulname")->text();
            exit->trigger();
        });
        QCOMPARE(runGateway(*qApp), 0);
        QCOMPARE(title, QString("Line1 Socket-Server Vers:%1.%2.%3  %4")
                            .arg(KAVETTA_VERSION_MAJOR)
                            .arg(KAVETTA_VERSION_MINOR)
                            .arg(KAVETTA_VERSION_PATCH)
                            .arg(m_home));
        QCOMPARE(modul, "Line1");
        // The offscreen desktop has no notification area: the window waits minimised.
        QVERIFY(minimised);
        QVERIFY(!mainWindow());
    }

    void secondInstanceEndsAtOnce()
    {
        InstanceCheck running(QString(), QCoreApplication::applicationFilePath(), "other");
        QTimer::singleShot(0, this, [] {
            if (mainWindow()) // no window may open: leave with a code the test rejects
                QApplication::exit(4);
        });
        QCOMPARE(runGateway(*qApp), 0);
    }
};

QTEST_MAIN(TestGatewayApp)
#include "TestGatewayApp.moc"
