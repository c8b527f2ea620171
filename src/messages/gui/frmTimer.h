#pragma once

#include "messages/gui/frmMsgBox.h"

#include <QObject>
#include <QPointer>

class DesktopServices;
class GatewayState;
class MsgList;
class QTimer;

// The never-shown holder of the poll timer tmrShowMsg. It starts with the first queued message
// and from then on brings up the first message every 300 ms when nothing is on display, or 10 s
// after the operator chose Cancel.
//
// Messages whose help file is a ".hlp" file are asked in a message box (OK / Cancel) instead of
// the window; the poll shows no second box while one waits for its answer.
class frmTimer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPollMs = 300;
    static constexpr int kPauseMs = 10000;

    frmTimer(MsgList &messages, DesktopServices &desktop, const GatewayState &state,
             QObject *parent = nullptr);
    ~frmTimer() override;

    bool isLoaded() const { return m_loaded; }
    void load();
    // One tick of tmrShowMsg.
    void poll();
    void showNextMsg();

    QTimer *tmrShowMsg() const { return m_tmrShowMsg; }
    // The open message window, if any.
    frmMsgBox *msgBox() const { return m_window; }
    MsgBoxState &windowState() { return m_shared; }

private:
    MsgList &m_messages;
    DesktopServices &m_desktop;
    const GatewayState &m_state;
    QTimer *m_tmrShowMsg;
    QPointer<frmMsgBox> m_window;
    MsgBoxState m_shared;
    bool m_loaded = false;
    bool m_boxOpen = false;
};
