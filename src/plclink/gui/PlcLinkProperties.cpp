#include "plclink/gui/PlcLinkProperties.h"

#include "plclink/TargetedLink.h"
#include "plclink/gui/PlcLinkDialog.h"

#include <QPointer>

void installPlcLinkProperties(PlcLink &link)
{
    auto *targeted = qobject_cast<TargetedLink *>(&link);
    if (!targeted)
        return;
    // The pointer lives in the handler, which lives as long as the link.
    targeted->setPropertiesHandler([targeted, dialog = QPointer<PlcLinkDialog>()]() mutable {
        if (!dialog) {
            dialog = new PlcLinkDialog(targeted);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
        }
        dialog->refresh();
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    });
}
