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

clsComm *GatewayState::plcRecord() const
{
    if (!commList)
        return nullptr;
    const auto it = commList->find(QStringLiteral("1"));
    return it == commList->end() ? nullptr : it->second.get();
}
