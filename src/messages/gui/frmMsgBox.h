#pragma once

#include "messages/gui/StatusLights.h"

#include <QPointer>
#include <QString>
#include <QWidget>

class DesktopServices;
class GatewayState;
class MsgList;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QLineEdit;
class QPushButton;
class QTimer;
struct clsLogDaten;

// What the message window keeps for the life of the program, also while no window is open:
// once the alert flag is on, the OK button flashes from the first tick of every later message.
struct MsgBoxState {
    QString helpFile;
    qint64 displayStart = 0; // monotonic milliseconds
    bool alert = false;
    qint16 blinkIndex = 0;
    quint32 alertColour = 0; // red + 256 * green + 65536 * blue
};

// The window that shows the first queued message. It is made afresh for every message shown and
// deleted when closed. Its blink timer cycles the status light, flashes the OK button once the
// message has waited more than 10 seconds, and trims the list to 20 messages.
class frmMsgBox : public QWidget
{
    Q_OBJECT
public:
    frmMsgBox(MsgBoxState &shared, MsgList &messages, DesktopServices &desktop, const GatewayState &state);

    // Fills the window with the record (date, time, text, the area as title, the help button)
    // and shows it.
    void showRecord(const clsLogDaten &record);
    void formRefresh();
    // Brings the window to the front with the input focus.
    void reassert();
    void closeMsgBox() { close(); }

    // One tick of tmrMsgBox; public so that tests can step it with a test clock.
    void blinkTick();

    StatusLight light() const { return m_light; }
    static QString banner(qsizetype count);
    static QColor colourOf(quint32 colourValue);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void onOk();
    void onCancel();
    void onDelete();
    void onHelp();
    void setLight(StatusLight light);
    void placeTextBox();
    void helpMessage(const QString &text);

    MsgBoxState &m_shared;
    MsgList &m_messages;
    DesktopServices &m_desktop;
    const GatewayState &m_state;
    StatusLight m_light = StatusLight::None;

    QLineEdit *m_txtMeldedatum;
    QLineEdit *m_txtMeldezeitpunkt;
    QPlainTextEdit *m_txtMsgText;
    QLabel *m_lblMsgCount;
    QPushButton *m_cmdOK;
    QPushButton *m_cmdCancel;
    QPushButton *m_cmdHelp;
    QWidget *m_picBottom;
    QMenu *m_menu;
    QTimer *m_tmrMsgBox;
};
