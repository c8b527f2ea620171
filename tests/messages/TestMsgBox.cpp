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
#include <QtTest>

using namespace Qt::StringLiterals;

struct Rig {
    QTemporaryDir dir;
    TestClock clock{QDateTime(QDate(2026, 12, 5), QTime(8, 0, 0))};
    GatewayState state;
    FakeDesktopServices desktop;
    EventLog events{state, dir.filePath(u"ev.log"_s)};
    MsgList list{state, events, desktop};
    frmTimer timer{list, desktop, state};

    Rig() { state.applicationTitle = u"K1 Socket-Server"_s; }

    frmMsgBox *box() const { return timer.msgBox(); }
    bool shown() const { return box() && box()->isVisible(); }
    template <typename T> T *child(const char *n) const { return box()->findChild<T *>(QLatin1String(n)); }
    QString shownText() const { return child<QPlainTextEdit>("txtMsgText")->toPlainText(); }
    QString banner() const { return child<QLabel>("lblMsgCount")->text(); }
    void click(const char *button) const { QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton); }
    QColor okColour() const { return child<QPushButton>("cmdOK")->palette().color(QPalette::Button); }
    // Queues a message the long way; returns the text, area and flag as queued.
    auto add(qint32 kind, QString text, const QString &help = {}, QString area = {})
    {
        bool flag = false;
        list.addMsg(kind, text, area, 0, flag, help);
        return std::tuple{text, area, flag};
    }
};

class TestMsgBox : public QObject
{
    Q_OBJECT
private slots:
    void showCancelEscapeAndDelete()
    {
        Rig rig;
        QVERIFY(!rig.timer.isLoaded());
        rig.list.addMsg(MsgList::Information, u"05.12.26 08:00:00 Port Error <9> Connection refused"_s);
        rig.list.addMsg(MsgList::Error, u"Free Diskspace Drive /  29,123,456 bytes"_s);
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown(), 5000); // the real 300 ms poll
        QCOMPARE(rig.shownText(), u"05.12.26 08:00:00 Port Error <9> Connection refused"_s);
        QCOMPARE(rig.box()->windowTitle(), u"K1 Socket-Server"_s);
        QCOMPARE(rig.banner(), u"*********     !!    2 Messages     !!     *********"_s);
        if (qEnvironmentVariableIsSet("KAVETTA_MSGBOX_SHOT"))
            QVERIFY(rig.box()->grab().save(qEnvironmentVariable("KAVETTA_MSGBOX_SHOT")));
        rig.click("cmdOK");
        QVERIFY(!rig.shown());
        rig.timer.poll();
        QVERIFY(rig.shownText().startsWith(u"Free Diskspace"_s));
        // Messages queued before the poll timer's holder exists are picked up.
        QVERIFY(frmTimer(rig.list, rig.desktop, rig.state).isLoaded());

        rig.list.addMsg(MsgList::Information, u"A"_s);
        rig.list.addMsg(MsgList::Information, u"B"_s);
        rig.click("cmdOK");
        rig.timer.poll();
        rig.list.msgPause = true; // activating the window ends a pause
        rig.box()->activateWindow();
        QTRY_VERIFY(!rig.list.msgPause);
        rig.click("cmdCancel");
        rig.timer.poll(); // the pause: nothing now, the next poll after 10 s
        QVERIFY(!rig.shown());
        QCOMPARE(rig.timer.tmrShowMsg()->interval(), frmTimer::kPauseMs);
        rig.timer.poll();
        QCOMPARE(rig.shownText(), u"A"_s);
        QCOMPARE(rig.timer.tmrShowMsg()->interval(), frmTimer::kPollMs);

        QTest::keyClick(rig.box(), Qt::Key_Escape);
        QVERIFY(!rig.shown());
        rig.timer.poll();
        QCOMPARE(rig.shownText(), u"A"_s);
        // The Delete key, on the window or in its text box, removes nothing; only the menu
        // entry empties the list.
        QTest::keyClick(rig.box(), Qt::Key_Delete);
        QTest::keyClick(rig.child<QPlainTextEdit>("txtMsgText"), Qt::Key_Delete);
        QVERIFY(rig.shown());
        QCOMPARE(rig.list.count(), 2);
        QCOMPARE(rig.shownText(), u"A"_s);
        rig.box()->findChild<QAction *>(u"mnuDelete"_s)->trigger();
        QVERIFY(!rig.shown() && rig.list.isEmpty());
        // A megabyte message: the window shows its beginning, the list keeps it whole.
        rig.list.addMsg(MsgList::Information, QString(1 << 20, u'C'));
        rig.timer.poll();
        QVERIFY(rig.shownText().size() < 40000 && rig.shownText().startsWith(u"CCC"_s));
        QCOMPARE(rig.list.first()->meldetext.size(), 1 << 20);
    }

    void blinkAlertAndTrim()
    {
        Rig rig;
        rig.list.addMsg(MsgList::Information, u"m0"_s);
        rig.list.addMsg(MsgList::Information, u"m1"_s);
        rig.timer.poll();
        frmMsgBox *box = rig.box();
        QCOMPARE(box->light(), StatusLight::Green);
        using enum StatusLight;
        for (StatusLight light : {Green, Yellow, Red, Green}) {
            box->blinkTick();
            QCOMPARE(box->light(), light);
            QCOMPARE(rig.banner().isEmpty(), light == Green); // the banner blinks with the light
        }
        const QColor plain = rig.okColour();
        rig.clock.advance(11000);
        // The alert starts after the first tick's paint; then OK blinks against the light.
        for (const QColor &ok : {plain, QColor(0, 255, 0), QColor(255, 0, 0)}) {
            box->blinkTick();
            QCOMPARE(rig.okColour(), ok);
        }
        QCOMPARE(box->light(), Green);

        for (int i = 2; i < 1000; ++i)
            rig.list.addMsg(MsgList::Information, u"m%1"_s.arg(i));
        QCOMPARE(rig.list.count(), 1000); // adding never trims
        box->blinkTick();
        QCOMPARE(rig.list.count(), 20);
        QVERIFY(!rig.shown());
        rig.timer.poll();
        QCOMPARE(rig.shownText(), u"m980"_s);
        rig.box()->blinkTick(); // the new window keeps the alert and the blink index
        QCOMPARE(rig.okColour(), QColor(0, 255, 0));
    }

    void helpButtonHlpBoxesAndPendingFailures()
    {
        Rig rig;
        rig.add(MsgList::Information, u"a"_s);
        rig.add(MsgList::Information, u"b"_s, u"hb.pdf#Kapitel 2"_s);
        rig.add(MsgList::Information, u"c"_s, u"readme.txt"_s);
        rig.add(MsgList::Information, u"d"_s, u"alt.hlp"_s, u"Bereich"_s);
        rig.timer.poll();
        rig.desktop.openResult = DesktopServices::OpenResult::NoAssociation;
        rig.click("cmdHelp");
        rig.desktop.openResult = DesktopServices::OpenResult::FileNotFound;
        rig.click("cmdHelp");
        QCOMPARE(rig.desktop.messageTexts(),
                 (QStringList{u"No association for file extension"_s, u"File not found <PralixAppl.chm>"_s}));
        QVERIFY(rig.shown()); // help failures never close the window

        rig.desktop.openResult = DesktopServices::OpenResult::Opened;
        for (int i = 0; i < 2; ++i) { // "b" opens its document without the anchor, "c" (a text file) nothing
            rig.click("cmdOK");
            rig.timer.poll();
            rig.click("cmdHelp");
        }
        QCOMPARE(rig.desktop.openedDocuments,
                 (QStringList{u"PralixAppl.chm"_s, u"PralixAppl.chm"_s, u"hb.pdf"_s}));

        // A ".hlp" message is asked in a box, and only one box at a time.
        rig.click("cmdOK");
        rig.timer.poll();
        rig.timer.poll();
        QVERIFY(!rig.shown());
        QCOMPARE(rig.desktop.messages.size(), 3);
        const auto &asked = rig.desktop.messages.last().box;
        QVERIFY(asked.text == u"d"_s && asked.caption == u"Bereich"_s);
        QVERIFY(asked.buttons == DesktopServices::Buttons::OkCancelHelp && asked.systemModal);
        QVERIFY(asked.helpFile.endsWith(u".hlp"_s, Qt::CaseInsensitive));
        rig.desktop.answer(DesktopServices::Answer::Cancel);
        QVERIFY(rig.list.msgPause);
        QCOMPARE(rig.list.count(), 1);
        rig.timer.poll();
        rig.timer.poll();
        rig.desktop.answer(DesktopServices::Answer::Ok);
        QVERIFY(rig.list.isEmpty());

        // A pending failure shapes the next message.
        rig.list.setLastFailure({53, u"S"_s, u"File not found"_s, QString(), 0});
        QCOMPARE(rig.add(MsgList::Error, u"beim Laden"_s),
                 std::make_tuple(u"Error: S 53 beim Laden"_s, u"S"_s, true));

        // Kind 1 keeps its text and empty area but takes the failure's help file.
        rig.list.setLastFailure({5, u"T"_s, u"denied"_s, u"x.chm#3"_s, 12});
        rig.list.addMsg(MsgList::Information, u"Hinweis"_s);
        const clsLogDaten &b = rig.list.records().at(1);
        QCOMPARE((std::tuple{b.meldetext, b.bereich, b.helpFile, b.helpContext}),
                 (std::tuple{u"Hinweis"_s, QString(), u"x.chm#3"_s, 12}));
        // Without a pending failure: the application title, the text unchanged, no event entry.
        QCOMPARE(rig.add(MsgList::Error, u"c"_s), std::make_tuple(u"c"_s, u"K1 Socket-Server"_s, true));
        QFile f(rig.events.filePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("4 Error: S 53 beim Laden\n4 Hinweis\n"));

        EventLog broken(rig.state, rig.dir.path());
        MsgList list2(rig.state, broken, rig.desktop);
        list2.setLastFailure({1, u"U"_s, u"d"_s, QString(), 0});
        list2.addMsg(MsgList::Information, u"x"_s);
        QCOMPARE(list2.count(), 1);
        QVERIFY(rig.desktop.messageTexts().constLast().startsWith(u"Application eventlogger overflow !"_s
                                                                  u"   \r\n"_s));
    }
};

QTEST_MAIN(TestMsgBox)
#include "TestMsgBox.moc"
