#include "ui/QtDesktopServices.h"

#include <QSystemTrayIcon>
#include <QTest>

class TestTrayIcon : public QObject
{
    Q_OBJECT

private slots:
    void onlyALeftPressRestoresAndRemovalHidesIt()
    {
        QtDesktopServices desktop;
        desktop.removeTrayIcon(); // removed at every unload, also when never added
        QVERIFY(!desktop.trayIcon());

        int restored = 0;
        desktop.setTrayActivated([&restored] { ++restored; });
        desktop.addTrayIcon(QStringLiteral("Socket  / Line1 Socket-Server  Socket-Server"));
        QSystemTrayIcon *icon = desktop.trayIcon();
        QVERIFY(icon && icon->isVisible() && !icon->icon().isNull());
        QCOMPARE(icon->toolTip(), QStringLiteral("Socket  / Line1 Socket-Server  Socket-Server"));

        for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick,
                                  QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown})
            emit icon->activated(reason);
        QCOMPARE(restored, 0);
        emit icon->activated(QSystemTrayIcon::Trigger);
        QCOMPARE(restored, 1);

        desktop.removeTrayIcon();
        QVERIFY(!icon->isVisible());
        // Added again (a later start in the same process): the same icon, the new tip.
        desktop.addTrayIcon(QStringLiteral("Socket  / Line2 Socket-Server  Socket-Server"));
        QCOMPARE(desktop.trayIcon(), icon);
        QVERIFY(icon->isVisible());
        QCOMPARE(icon->toolTip(), QStringLiteral("Socket  / Line2 Socket-Server  Socket-Server"));
    }
};

QTEST_MAIN(TestTrayIcon)
#include "TestTrayIcon.moc"
