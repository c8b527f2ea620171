#include "platform/ManagerBus.h"

#include <QDBusMetaType>

void managerbus::registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<Parameters>();
        return true;
    }();
    Q_UNUSED(registered);
}
