#include "FakeDesktopServices.h"
#include "TestClock.h"

#include "common/GatewayState.h"
#include "logging/EventLog.h"
#include "messages/MsgList.h"
#include "messages/gui/frmMsgBox.h"
#include "messages/gui/frmTimer.h"

#include <QtTest>
#include <QtWidgets>

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
    void showCancelDeleteBlinkAndTrim()
    {
        Rig rig;
        rig.list.addMsg(MsgList::Information, u"05.12.26 08:00:00 Port Error <9> Connection refused"_s);
        rig.list.addMsg(MsgList::Error, u"Free Diskspace Drive /  29,123,456 bytes"_s);
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown(), 5000); // the real 300 ms poll
        QCOMPARE(rig.shownText(), u"05.12.26 08:00:00 Port Error <9> Connection refused"_s);
        QCOMPARE(rig.child<QLabel>("lblMsgCount")->text(),
                 u"*********     !!    2 Messages     !!     *********"_s);
        if (qEnvironmentVariableIsSet("KAVETTA_MSGBOX_SHOT"))
            QVERIFY(rig.box()->grab().save(qEnvironmentVariable("KAVETTA_MSGBOX_SHOT")));
        rig.click("cmdOK");
        rig.timer.poll();
        QVERIFY(rig.shownText().startsWith(u"Free Diskspace"_s));

        // Cancel keeps the message and pauses: nothing at the next poll, which comes after 10 s.
        rig.click("cmdCancel");
        rig.timer.poll();
        QVERIFY(!rig.shown() && rig.timer.tmrShowMsg()->interval() == frmTimer::kPauseMs);
        rig.timer.poll();
        QCOMPARE(rig.timer.tmrShowMsg()->interval(), frmTimer::kPollMs);
        rig.box()->findChild<QAction *>(u"mnuDelete"_s)->trigger();
        QVERIFY(!rig.shown() && rig.list.isEmpty());

        // A message waiting 10 s starts the alert with the next tick's paint; then OK blinks red,
        // yellow, green with the light.
        for (int i = 0; i < 2; ++i)
            rig.list.addMsg(MsgList::Information, u"m%1"_s.arg(i));
        rig.timer.poll();
        const QColor plain = rig.okColour();
        rig.clock.advance(11000);
        for (const QColor &ok : {plain, QColor(255, 255, 0), QColor(0, 255, 0)}) {
            rig.box()->blinkTick();
            QCOMPARE(rig.okColour(), ok);
        }
        QCOMPARE(rig.box()->light(), StatusLight::Red);

        // The next tick cuts the list to the newest 20.
        for (int i = 2; i < 1000; ++i)
            rig.list.addMsg(MsgList::Information, u"m%1"_s.arg(i));
        rig.box()->blinkTick();
        rig.timer.poll();
        QCOMPARE(rig.shownText(), u"m980"_s);
    }

    void helpButtonHlpBoxesAndPendingFailures()
    {
        Rig rig;
        rig.add(MsgList::Information, u"a"_s);
        rig.add(MsgList::Information, u"d"_s, u"alt.hlp"_s, u"Bereich"_s);
        rig.timer.poll();
        rig.desktop.openResult = DesktopServices::OpenResult::NoAssociation;
        rig.click("cmdHelp");
        rig.desktop.openResult = DesktopServices::OpenResult::FileNotFound;
        rig.click("cmdHelp");
        QCOMPARE(rig.desktop.messageTexts(),
                 (QStringList{u"No association for file extension"_s, u"File not found <PralixAppl.chm>"_s}));

        // A ".hlp" message is asked in a box, and only one box at a time.
        rig.click("cmdOK");
        rig.timer.poll();
        rig.timer.poll();
        QVERIFY(!rig.shown() && rig.desktop.messages.size() == 3);
        const auto &asked = rig.desktop.messages.last().box;
        QVERIFY(asked.text == u"d"_s && asked.caption == u"Bereich"_s && asked.systemModal);
        rig.desktop.answer(DesktopServices::Answer::Ok);
        QVERIFY(rig.list.isEmpty());

        // A pending failure shapes the next message; without one: the application title, the text
        // unchanged, no event entry.
        rig.list.setLastFailure({53, u"S"_s, u"File not found"_s, QString(), 0});
        QCOMPARE(rig.add(MsgList::Error, u"beim Laden"_s),
                 std::make_tuple(u"Error: S 53 beim Laden"_s, u"S"_s, true));
        QCOMPARE(rig.add(MsgList::Error, u"c"_s), std::make_tuple(u"c"_s, u"K1 Socket-Server"_s, true));
        QFile f(rig.events.filePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("4 Error: S 53 beim Laden\n"));

        EventLog broken(rig.state, rig.dir.path());
        MsgList list2(rig.state, broken, rig.desktop);
        list2.setLastFailure({1, u"U"_s, u"d"_s, QString(), 0});
        list2.addMsg(MsgList::Information, u"x"_s);
        QVERIFY(rig.desktop.messageTexts().constLast().startsWith(u"Application eventlogger overflow !"_s
                                                                  u"   \r\n"_s));
    }
};

QTEST_MAIN(TestMsgBox)
#include "TestMsgBox.moc"
