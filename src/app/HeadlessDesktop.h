#pragma once

#include "common/DesktopServices.h"

#include <QObject>

class EventLog;
class MsgList;

// The desktop of a gateway that runs without a display (a service): nobody can read a box or
// click it, so each box becomes an event-log entry with the same text (an error entry for a
// critical box, a warning otherwise) and counts as answered with OK. The file dialog counts as
// cancelled; there is no tray.
class HeadlessDesktop : public QObject, public DesktopServices
{
    Q_OBJECT
public:
    using QObject::QObject;
    // Where the boxes go; set before the first box (the event log is made with the gateway).
    void setEventLog(EventLog *eventLog) { m_eventLog = eventLog; }

    void showMessage(const MessageBox &box, std::function<void(Answer)> onAnswer = {}) override;
    void chooseSaveFileName(const QString &presetPath, const QString &filter,
                            std::function<void(const QString &)> onChosen) override;
    OpenResult openDocument(const QString &path) override;
    bool trayAvailable() const override { return false; }
    void addTrayIcon(const QString &) override {}
    void removeTrayIcon() override {}

    // The operator's message list goes the same way: each message becomes an event-log entry
    // (errors as errors, the rest as warnings) and leaves the list, so it never grows.
    void serveMessages(MsgList &messages);

private:
    void logEntry(const QString &text, bool error);

    EventLog *m_eventLog = nullptr;
};
