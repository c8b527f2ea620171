#include "plc/gui/PlcLinkProperties.h"

#include "plc/KeloOcx.h"
#include "plc/ModbusLink.h"
#include "plc/gui/KeloPropertiesDialog.h"
#include "plc/gui/ModbusPropertiesDialog.h"

#include <QPointer>

namespace
{

template <typename Dialog, typename Link> void install(Link &link)
{
    // The pointer lives in the handler, which lives as long as the link.
    link.setPropertiesHandler([&link, dialog = QPointer<Dialog>()]() mutable {
        if (!dialog) {
            dialog = new Dialog(&link);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
        }
        dialog->refresh();
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    });
}

} // namespace

void installPlcLinkProperties(KeloLink &link)
{
    if (auto *modbus = qobject_cast<ModbusLink *>(&link))
        install<ModbusPropertiesDialog>(*modbus);
    else if (auto *kelo = qobject_cast<KeloOcx *>(&link))
        install<KeloPropertiesDialog>(*kelo);
}
