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
