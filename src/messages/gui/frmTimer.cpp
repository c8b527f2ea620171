#include "messages/gui/frmTimer.h"

#include "common/DesktopServices.h"
#include "messages/MsgList.h"

#include <QTimer>

frmTimer::frmTimer(MsgList &messages, DesktopServices &desktop, const GatewayState &state, QObject *parent)
    : QObject(parent), m_messages(messages), m_desktop(desktop), m_state(state)
{
    setObjectName(QStringLiteral("frmTimer"));
    m_tmrShowMsg = new QTimer(this);
    m_tmrShowMsg->setObjectName(QStringLiteral("tmrShowMsg"));
    connect(m_tmrShowMsg, &QTimer::timeout, this, &frmTimer::poll);
    connect(&m_messages, &MsgList::messageAdded, this, &frmTimer::load);
    // Messages queued before this object existed (the start-up's free-space check) are shown too.
    if (!m_messages.isEmpty())
        load();
}

frmTimer::~frmTimer()
{
    delete m_window.data();
}

void frmTimer::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    m_tmrShowMsg->start(kPollMs);
}

void frmTimer::poll()
{
    m_tmrShowMsg->stop();
    if (m_messages.msgPause) {
        m_messages.msgPause = false;
        m_tmrShowMsg->start(kPauseMs);
    } else {
        showNextMsg();
        m_tmrShowMsg->start(kPollMs);
    }
}

void frmTimer::showNextMsg()
{
    const clsLogDaten *first = m_messages.first();
    if (!first || m_boxOpen || (m_window && m_window->isVisible()))
        return;
    m_messages.msgPause = false;

    if (first->helpFile.isEmpty() || first->helpFile.right(3).toUpper() == QLatin1String("HLP")) {
        m_boxOpen = true;
        const quint64 id = first->id;
        QPointer<frmTimer> self(this);
        m_desktop.showMessage(DesktopServices::MessageBox{first->meldetext, first->bereich,
                                                          DesktopServices::Buttons::OkCancelHelp,
                                                          DesktopServices::Icon::None, true, first->helpFile},
                              [self, id](DesktopServices::Answer answer) {
                                  if (!self)
                                      return;
                                  self->m_boxOpen = false;
                                  if (answer == DesktopServices::Answer::Cancel)
                                      self->m_messages.msgPause = true;
                                  else
                                      self->m_messages.remove(id);
                              });
        return;
    }

    delete m_window.data();
    m_window = new frmMsgBox(m_shared, m_messages, m_desktop, m_state);
    m_window->showRecord(*first);
}
