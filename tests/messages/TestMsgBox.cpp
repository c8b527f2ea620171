#include "FakeDesktopServices.h"
#include "TestClock.h"

#include "common/GatewayState.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"
#include "messages/gui/frmMsgBox.h"
#include "messages/gui/frmTimer.h"

#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace
{

struct Rig {
    QTemporaryDir dir;
    TestClock clock{QDateTime(QDate(2026, 12, 5), QTime(8, 0, 0))};
    GatewayState state;
    FakeDesktopServices desktop;
    EventLog events{state, dir.filePath(QStringLiteral("ev.log"))};
    MsgList list{state, events, desktop};
    frmTimer timer{list, desktop, state};

    Rig() { state.applicationTitle = QStringLiteral("K1 Socket-Server"); }

    frmMsgBox *box() const { return timer.msgBox(); }
    bool shown() const { return box() && box()->isVisible(); }
    template <typename T> T *child(const char *name) const
    {
        return box()->findChild<T *>(QLatin1String(name));
    }
    QString shownText() const { return child<QPlainTextEdit>("txtMsgText")->toPlainText(); }
    void click(const char *button) const { QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton); }
    QColor okColour() const { return child<QPushButton>("cmdOK")->palette().color(QPalette::Button); }
    void add(const QString &text, const QString &help, const QString &area = {})
    {
        QString t = text, a = area;
        bool flag = false;
        list.addMsg(MsgList::Information, t, a, 0, flag, help);
    }
};

} // namespace

class TestMsgBox : public QObject
{
    Q_OBJECT
private slots:
    void pendingFailureShapesTheMessage()
    {
        Rig rig;
        rig.list.setLastFailure({53, QStringLiteral("S"), QStringLiteral("File not found"), QString(), 0});
        QString text = QStringLiteral("beim Laden"), area;
        bool flag = false;
        rig.list.addMsg(MsgList::Error, text, area, 0, flag, QString());
        QCOMPARE(text, QStringLiteral("Error: S 53 beim Laden"));
        QCOMPARE(area, QStringLiteral("S"));
        QVERIFY(flag);

        // Kind 1 keeps its text and empty area but takes the failure's help file.
        rig.list.setLastFailure(
            {5, QStringLiteral("T"), QStringLiteral("denied"), QStringLiteral("x.chm#3"), 12});
        rig.list.addMsg(MsgList::Information, QStringLiteral("Hinweis"));
        const clsLogDaten &b = rig.list.records().at(1);
        QVERIFY(b.meldetext == QStringLiteral("Hinweis") && b.bereich.isEmpty());
        QCOMPARE(b.helpFile, QStringLiteral("x.chm#3"));
        QCOMPARE(b.helpContext, 12);
        // Without a pending failure: the application title, the text unchanged, no event entry.
        rig.list.addMsg(MsgList::Error, QStringLiteral("c"));
        QCOMPARE(rig.list.records().at(2).bereich, QStringLiteral("K1 Socket-Server"));
        QCOMPARE(rig.list.records().at(2).meldetext, QStringLiteral("c"));

        QFile f(rig.events.filePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("4 Error: S 53 beim Laden\n4 Hinweis\n"));

        EventLog broken(rig.state, rig.dir.path());
        MsgList list2(rig.state, broken, rig.desktop);
        list2.setLastFailure({1, QStringLiteral("U"), QStringLiteral("d"), QString(), 0});
        list2.addMsg(MsgList::Information, QStringLiteral("x"));
        QCOMPARE(list2.count(), 1);
        QVERIFY(rig.desktop.messageTexts().value(0).startsWith(
            QStringLiteral("Application eventlogger overflow !   \r\n")));
    }

    void twoMessagesOneAfterTheOther()
    {
        Rig rig;
        QVERIFY(!rig.timer.isLoaded());
        rig.list.addMsg(MsgList::Information,
                        QStringLiteral("05.12.26 08:00:00 Port Error <9> Connection refused"));
        rig.list.addMsg(MsgList::Error, QStringLiteral("Free Diskspace Drive /  29,123,456 bytes"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown(), 5000); // the real 300 ms poll
        QCOMPARE(rig.shownText(), QStringLiteral("05.12.26 08:00:00 Port Error <9> Connection refused"));
        QCOMPARE(rig.box()->windowTitle(), QStringLiteral("K1 Socket-Server"));
        QCOMPARE(rig.child<QLabel>("lblMsgCount")->text(),
                 QStringLiteral("*********     !!    2 Messages     !!     *********"));
        if (qEnvironmentVariableIsSet("KAVETTA_MSGBOX_SHOT"))
            QVERIFY(rig.box()->grab().save(qEnvironmentVariable("KAVETTA_MSGBOX_SHOT")));

        rig.click("cmdOK");
        QVERIFY(!rig.shown());
        QCOMPARE(rig.list.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown(), 5000);
        QVERIFY(rig.shownText().startsWith(QStringLiteral("Free Diskspace")));

        // Messages queued before the poll timer's holder exists are picked up.
        frmTimer late(rig.list, rig.desktop, rig.state);
        QVERIFY(late.isLoaded());
    }

    void cancelEscapeAndDelete()
    {
        Rig rig;
        rig.list.addMsg(MsgList::Information, QStringLiteral("A"));
        rig.list.addMsg(MsgList::Information, QStringLiteral("B"));
        rig.timer.poll();
        rig.list.msgPause = true; // activating the window ends a pause
        rig.box()->activateWindow();
        QTRY_VERIFY(!rig.list.msgPause);

        rig.click("cmdCancel");
        QVERIFY(!rig.shown());
        rig.timer.poll(); // the pause: nothing now, the next poll after 10 s
        QVERIFY(!rig.shown());
        QCOMPARE(rig.timer.tmrShowMsg()->interval(), frmTimer::kPauseMs);
        rig.timer.poll();
        QCOMPARE(rig.shownText(), QStringLiteral("A"));
        QCOMPARE(rig.timer.tmrShowMsg()->interval(), frmTimer::kPollMs);

        QTest::keyClick(rig.box(), Qt::Key_Escape);
        QVERIFY(!rig.shown());
        rig.timer.poll();
        QCOMPARE(rig.shownText(), QStringLiteral("A"));

        rig.box()->findChild<QAction *>(QStringLiteral("mnuDelete"))->trigger();
        QVERIFY(!rig.shown());
        QVERIFY(rig.list.isEmpty());
        rig.timer.poll();
        QVERIFY(!rig.shown());
        // A megabyte message: the window shows its beginning, the list keeps it whole.
        rig.list.addMsg(MsgList::Information, QString(1 << 20, QLatin1Char('C')));
        rig.timer.poll();
        QVERIFY(rig.shownText().size() < 40000 && rig.shownText().startsWith(QLatin1String("CCC")));
        QCOMPARE(rig.list.first()->meldetext.size(), 1 << 20);
        QTest::keyClick(rig.box(), Qt::Key_Delete);
        QVERIFY(rig.list.isEmpty());
    }

    void blinkAlertAndTrim()
    {
        Rig rig;
        rig.list.addMsg(MsgList::Information, QStringLiteral("m0"));
        rig.list.addMsg(MsgList::Information, QStringLiteral("m1"));
        rig.timer.poll();
        frmMsgBox *box = rig.box();
        QCOMPARE(box->light(), StatusLight::Green);
        const QList<StatusLight> lights = {StatusLight::Green, StatusLight::Yellow, StatusLight::Red,
                                           StatusLight::Green};
        const QList<bool> banner = {false, true, true, false};
        for (int i = 0; i < lights.size(); ++i) {
            box->blinkTick();
            QCOMPARE(box->light(), lights.at(i));
            QCOMPARE(!rig.child<QLabel>("lblMsgCount")->text().isEmpty(), banner.at(i));
        }
        const QColor plain = rig.okColour();
        rig.clock.advance(11000);
        box->blinkTick(); // the alert starts after this tick's paint
        QCOMPARE(rig.okColour(), plain);
        box->blinkTick(); // red light, OK green
        QCOMPARE(box->light(), StatusLight::Red);
        QCOMPARE(rig.okColour(), QColor(0, 255, 0));
        box->blinkTick(); // green light, OK red
        QCOMPARE(rig.okColour(), QColor(255, 0, 0));

        for (int i = 2; i < 1000; ++i)
            rig.list.addMsg(MsgList::Information, QStringLiteral("m%1").arg(i));
        QCOMPARE(rig.list.count(), 1000); // adding never trims
        box->blinkTick();
        QCOMPARE(rig.list.count(), 20);
        QCOMPARE(rig.list.first()->meldetext, QStringLiteral("m980"));
        QVERIFY(!rig.shown());
        rig.timer.poll();
        QCOMPARE(rig.shownText(), QStringLiteral("m980"));
        rig.box()->blinkTick(); // the new window keeps the alert and the blink index
        QCOMPARE(rig.okColour(), QColor(0, 255, 0));
    }

    void helpButtonAndHlpBoxes()
    {
        Rig rig;
        rig.add(QStringLiteral("a"), QString());
        rig.add(QStringLiteral("b"), QStringLiteral("hb.pdf#Kapitel 2"));
        rig.add(QStringLiteral("c"), QStringLiteral("readme.txt"));
        rig.add(QStringLiteral("d"), QStringLiteral("alt.hlp"), QStringLiteral("Bereich"));
        rig.timer.poll();
        rig.desktop.openResult = DesktopServices::OpenResult::NoAssociation;
        rig.click("cmdHelp");
        rig.desktop.openResult = DesktopServices::OpenResult::FileNotFound;
        rig.click("cmdHelp");
        QCOMPARE(rig.desktop.openedDocuments, QStringList(2, QStringLiteral("PralixAppl.chm")));
        QCOMPARE(rig.desktop.messageTexts(),
                 (QStringList{QStringLiteral("No association for file extension"),
                              QStringLiteral("File not found <PralixAppl.chm>")}));
        QVERIFY(rig.shown()); // help failures never close the window

        rig.desktop.openResult = DesktopServices::OpenResult::Opened;
        rig.click("cmdOK");
        rig.timer.poll();
        rig.click("cmdHelp");
        QCOMPARE(rig.desktop.openedDocuments.last(), QStringLiteral("hb.pdf"));
        rig.click("cmdOK");
        rig.timer.poll();
        rig.click("cmdHelp"); // a text file: nothing is opened
        QCOMPARE(rig.desktop.openedDocuments.size(), 3);
        rig.click("cmdOK");

        // A ".hlp" message is asked in a box, and only one box at a time.
        rig.timer.poll();
        rig.timer.poll();
        QVERIFY(!rig.shown());
        QCOMPARE(rig.desktop.messages.size(), 3);
        const auto &asked = rig.desktop.messages.last().box;
        QCOMPARE(asked.text, QStringLiteral("d"));
        QCOMPARE(asked.caption, QStringLiteral("Bereich"));
        QVERIFY(asked.buttons == DesktopServices::Buttons::OkCancel && asked.systemModal);
        rig.desktop.answer(DesktopServices::Answer::Cancel);
        QVERIFY(rig.list.msgPause);
        QCOMPARE(rig.list.count(), 1);
        rig.timer.poll();
        rig.timer.poll();
        rig.desktop.answer(DesktopServices::Answer::Ok);
        QVERIFY(rig.list.isEmpty());
    }
};

QTEST_MAIN(TestMsgBox)
#include "TestMsgBox.moc"
