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

void GatewayState::append(QueueJournal::Queue which, const QString &text)
{
    queue(which).append(text);
    if (journal)
        journal->appended(which, text);
}

void GatewayState::dropFirst(QueueJournal::Queue which)
{
    if (queue(which).isEmpty())
        return;
    queue(which).removeFirst();
    if (journal)
        journal->removedFirst(which);
}

void GatewayState::clear(QueueJournal::Queue which)
{
    queue(which).clear();
    if (journal)
        journal->cleared(which);
}
