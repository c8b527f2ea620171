#include "ui/GatewayApp.h"
#include "ui/InstanceCheck.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
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

private:
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
        m_home = m_root.filePath(QStringLiteral("Server"));
        QVERIFY(QDir().mkpath(m_home));
        qputenv("KAVETTA_HOME", m_home.toUtf8());
        qputenv("KAVETTA_EVENTLOG", m_root.filePath(QStringLiteral("events.log")).toUtf8());
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope,
                           m_root.filePath(QStringLiteral("xdg")));
        QVERIFY(QFile::copy(QStringLiteral(KAVETTA_SOURCE_DIR "/examples/Kavetta.zelb"),
                            m_home + QStringLiteral("/Kavetta.zelb")));
    }

    void startsLoadedAndEndsThroughExit()
    {
        QString title, modul;
        bool minimised = false;
        bool exitFound = false;
        QTimer::singleShot(0, this, [&] {
            QMainWindow *window = mainWindow();
            if (!window)
                return QApplication::exit(3);
            title = window->windowTitle();
            minimised = window->isVisible() && window->isMinimized();
            modul = window->findChild<QLineEdit *>(QStringLiteral("txtModulname"))->text();
            auto *exit = window->findChild<QAction *>(QStringLiteral("mnu_exit"));
            exitFound = exit != nullptr;
            if (exit)
                exit->trigger();
        });
        QCOMPARE(runGateway(*qApp), 0);
        QVERIFY(exitFound);
        const QString version = QStringLiteral("%1.%2.%3")
                                    .arg(KAVETTA_VERSION_MAJOR)
                                    .arg(KAVETTA_VERSION_MINOR)
                                    .arg(KAVETTA_VERSION_PATCH);
        QCOMPARE(title,
                 QStringLiteral("Line1 Socket-Server Vers:") + version + QStringLiteral("  ") + m_home);
        QCOMPARE(modul, QStringLiteral("Line1"));
        // The offscreen desktop has no notification area: the window waits minimised.
        QVERIFY(minimised);
        QVERIFY(!mainWindow());
    }

    void secondInstanceEndsAtOnce()
    {
        InstanceCheck running(QString(), QCoreApplication::applicationFilePath(), QStringLiteral("other"));
        bool windowSeen = false;
        QTimer::singleShot(0, this, [&] {
            QMainWindow *window = mainWindow();
            windowSeen = window && window->isVisible();
            if (window)
                QApplication::exit(4);
        });
        QCOMPARE(runGateway(*qApp), 0);
        QVERIFY(!windowSeen);
    }
};

QTEST_MAIN(TestGatewayApp)
#include "TestGatewayApp.moc"
