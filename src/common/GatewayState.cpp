#include "common/GatewayState.h"

void GatewayState::setLblState(const QString &text)
{
    if (lblState == text)
        return;
    lblState = text;
    notify();
}

void GatewayState::setLblError(const QString &text)
{
    lblError = text;
    notify();
}

void GatewayState::setLblLastComm(const QString &text)
{
    lblLastComm = text;
    notify();
}

void GatewayState::editControls(bool onOff)
{
    editMode = onOff;
    notify();
}

void GatewayState::queueSend(const QString &text)
{
    sendQueue.append(text);
    if (journal)
        journal->appended(QueueJournal::Send, text);
}

void GatewayState::dropFirstSend()
{
    if (sendQueue.isEmpty())
        return;
    sendQueue.removeFirst();
    if (journal)
        journal->removedFirst(QueueJournal::Send);
}

void GatewayState::clearSend()
{
    sendQueue.clear();
    if (journal)
        journal->cleared(QueueJournal::Send);
}

void GatewayState::queueAnswer(const QString &text)
{
    receiveQueue.append(text);
    if (journal)
        journal->appended(QueueJournal::Receive, text);
}

void GatewayState::dropFirstAnswer()
{
    if (receiveQueue.isEmpty())
        return;
    receiveQueue.removeFirst();
    if (journal)
        journal->removedFirst(QueueJournal::Receive);
}

void GatewayState::clearAnswers()
{
    receiveQueue.clear();
    if (journal)
        journal->cleared(QueueJournal::Receive);
}
