#include "ui/GatewayApp.h"

#include "core/GatewayRuntime.h"
#include "messages/gui/frmTimer.h"
#include "plclink/gui/PlcLinkProperties.h"
#include "ui/QtDesktopServices.h"
#include "ui/frmSocket.h"

#include <QApplication>
#include <QStyle>

#include <memory>

int runGateway(QApplication &app, InstanceGuard &instances, const RuntimeAddOn &addOn)
{
    // The main window spends most of its life hidden; closing a message window must not end
    // the program. Only the unload handler does.
    app.setQuitOnLastWindowClosed(false);
    if (app.windowIcon().isNull())
        app.setWindowIcon(app.style()->standardIcon(QStyle::SP_DriveNetIcon));

    QtDesktopServices desktop;
    GatewayRuntime runtime(desktop, instances, [&app] {
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    desktop.setDefaultCaption([&runtime] { return runtime.state.applicationTitle; });
    frmTimer messageWindowTimer(runtime.messages, desktop, runtime.state);
    const std::unique_ptr<QObject> added = addOn ? addOn(runtime) : nullptr;
    // Logging out or stopping the desktop session ends the gateway through its unload too.
    runtime.watchSignals();

    std::unique_ptr<frmSocket> window;
    const bool loaded = runtime.start(app.arguments(), [&](GatewayCore &core) {
        installPlcLinkProperties(*runtime.link());
        runtime.linkHolder()->onRenewed = [](PlcLink &link) { installPlcLinkProperties(link); };
        window = std::make_unique<frmSocket>(core);
        desktop.setTrayActivated([w = window.get()] { w->reassert(); });
        window->load();
    });
    if (!loaded) {
        // Registration only: the program ends, once the operator has read a failure report.
        if (desktop.openMessageCount() == 0)
            return 0;
        app.setQuitOnLastWindowClosed(true);
    }
    const int code = app.exec();
    desktop.setTrayActivated({});
    window.reset();
    return code;
}
