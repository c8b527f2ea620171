#include "ui/GatewayApp.h"

#include "common/GatewayState.h"
#include "config/Configuration.h"
#include "core/GatewayCore.h"
#include "logging/CommLog.h"
#include "logging/EventLog.h"
#include "logging/LogBackup.h"
#include "messages/MsgList.h"
#include "messages/gui/frmTimer.h"
#include "platform/FreeSpace.h"
#include "platform/Options.h"
#include "plc/KeloOcx.h"
#include "plc/gui/KeloPropertiesDialog.h"
#include "socket/QtSocketEndpoint.h"
#include "startup/StartUp.h"
#include "core/ConfigurationCommands.h"
#include "core/InstanceCheck.h"
#include "ui/PendingParts.h"
#include "ui/QtDesktopServices.h"
#include "ui/frmSocket.h"

#include <QApplication>
#include <QPointer>
#include <QStyle>

namespace
{

QString versionText()
{
    return QStringLiteral("%1.%2.%3")
        .arg(KAVETTA_VERSION_MAJOR)
        .arg(KAVETTA_VERSION_MINOR)
        .arg(KAVETTA_VERSION_PATCH);
}

} // namespace

int runGateway(QApplication &app)
{
    // The main window spends most of its life hidden; closing a message window must not end
    // the program. Only the unload handler does.
    app.setQuitOnLastWindowClosed(false);
    if (app.windowIcon().isNull())
        app.setWindowIcon(app.style()->standardIcon(QStyle::SP_DriveNetIcon));

    const QString folder = programFolder();
    GatewayState state;
    QtDesktopServices desktop;
    desktop.setDefaultCaption([&state] { return state.applicationTitle; });

    EventLog eventLog(state);
    MsgList messages(state, eventLog, desktop);
    frmTimer messageWindowTimer(messages, desktop, state);
    Options options(messages);
    StorageFreeSpace storage;
    FreeSpace freeSpace(state, options, messages, storage, folder);
    LogBackup logBackup(state, desktop, freeSpace, folder);
    CommLog commLog(state, messages, logBackup, eventLog);

    QtSocketEndpoint socket;
    KeloOcx kelo;
    QPointer<KeloPropertiesDialog> keloDialog;
    kelo.setPropertiesHandler([&kelo, &keloDialog] {
        if (!keloDialog) {
            keloDialog = new KeloPropertiesDialog(&kelo);
            keloDialog->setAttribute(Qt::WA_DeleteOnClose);
        }
        keloDialog->refresh();
        keloDialog->show();
        keloDialog->raise();
        keloDialog->activateWindow();
    });

    Configuration configuration(state, socket, commLog, desktop);
    ConfigurationCommands configCommands(configuration);
    StandaloneManagerLink managerLink(desktop);
    NoPlcConnection plc;
    NoHostIntegration host;
    InstanceCheck instances;

    const CoreParts parts{
        freeSpace,
        configCommands,
        managerLink,
        kelo,
        logBackup,
        plc,
        socket,
        messages,
        instances,
        desktop,
        commLog,
        {},
        [&app] { QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection); },
        folder,
        versionText()};
    GatewayCore core(state, parts);
    frmSocket window(core);
    desktop.setTrayActivated([&window] { window.reassert(); });

    StartUp start(state, host, desktop);
    const bool windowLoaded = start.startUp(commandLineText(app.arguments()), [&window] {
        window.load();
        return PendingError{};
    });
    if (!windowLoaded) {
        // Registration only: the program ends, once the operator has read a failure report.
        if (desktop.openMessageCount() == 0)
            return 0;
        app.setQuitOnLastWindowClosed(true);
    }
    const int code = app.exec();
    delete keloDialog.data();
    return code;
}
