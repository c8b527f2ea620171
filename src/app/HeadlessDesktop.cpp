#include "app/HeadlessDesktop.h"

#include "logging/EventLog.h"
#include "messages/MsgList.h"

#include <QFileInfo>
#include <QTimer>

void HeadlessDesktop::logEntry(const QString &text, bool error)
{
    qint16 type = error ? EventLog::Error : EventLog::Warning;
    if (m_eventLog)
        m_eventLog->writeAppLogEvent(text, type);
}

void HeadlessDesktop::showMessage(const MessageBox &box, std::function<void(Answer)> onAnswer)
{
    logEntry(box.text, box.icon == Icon::Critical);
    // Answered after the caller has returned, as a box's answer would be.
    if (onAnswer)
        QTimer::singleShot(0, this, [answer = std::move(onAnswer)] { answer(Answer::Ok); });
}

void HeadlessDesktop::chooseSaveFileName(const QString &, const QString &,
                                         std::function<void(const QString &)> onChosen)
{
    if (onChosen)
        QTimer::singleShot(0, this, [chosen = std::move(onChosen)] { chosen(QString()); });
}

DesktopServices::OpenResult HeadlessDesktop::openDocument(const QString &path)
{
    return QFileInfo::exists(path) ? OpenResult::NoAssociation : OpenResult::FileNotFound;
}

void HeadlessDesktop::serveMessages(MsgList &messages)
{
    connect(&messages, &MsgList::messageAdded, this, [this, &messages] {
        while (const clsLogDaten *record = messages.first()) {
            logEntry(record->meldetext, record->meldeArt == MsgList::Error);
            messages.removeFirst();
        }
    });
}
