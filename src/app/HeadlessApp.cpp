#include "app/HeadlessApp.h"

#include "app/HeadlessDesktop.h"
#include "app/InstanceCheck.h"
#include "core/GatewayRuntime.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

bool headlessRequested()
{
    if (qEnvironmentVariableIntValue("KAVETTA_HEADLESS") == 1)
        return true;
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QString emptyConfigurationNotice(const GatewayState &state, const QString &programFolder)
{
    if (!state.settings.moduleName.isEmpty())
        return {};
    QString why;
    if (!QFileInfo(programFolder).isDir())
        why = QStringLiteral("Program folder %1 not found").arg(programFolder);
    else if (!QFileInfo(state.configFile).isFile())
        why = QStringLiteral("Configuration file %1 not found").arg(state.configFile);
    else
        why = QStringLiteral("Configuration file %1 names no module").arg(state.configFile);
    return why + QStringLiteral(": running with the empty configuration");
}

QString unwritableFolderNotice(const QString &programFolder)
{
    if (!QFileInfo(programFolder).isDir() ||
        ::access(QFile::encodeName(programFolder).constData(), W_OK) == 0)
        return {};
    return QStringLiteral("Program folder %1 is not writable: no communication log, no backups, "
                          "no saved configuration")
        .arg(programFolder);
}

namespace
{

// After each load of the configuration: what the window would show and the journal would not.
void reportFolderAndConfiguration(GatewayRuntime &runtime)
{
    for (const QString &notice :
         {unwritableFolderNotice(runtime.folder), emptyConfigurationNotice(runtime.state, runtime.folder)}) {
        if (notice.isEmpty())
            continue;
        qint16 type = EventLog::Warning;
        runtime.eventLog.writeAppLogEvent(notice, type);
    }
}

} // namespace

int runHeadless(QCoreApplication &app, const RuntimeAddOn &addOn)
{
    HeadlessDesktop desktop;
    InstanceCheck instances;
    GatewayRuntime runtime(desktop, instances, [&app] {
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    desktop.setEventLog(&runtime.eventLog);
    desktop.serveMessages(runtime.messages);
    const std::unique_ptr<QObject> added = addOn ? addOn(runtime) : nullptr;

    runtime.watchSignals([&runtime] { reportFolderAndConfiguration(runtime); });

    const bool loaded = runtime.start(app.arguments(), [&runtime](GatewayCore &core) {
        core.load();
        if (!core.programEnded())
            reportFolderAndConfiguration(runtime);
    });
    if (!loaded || (runtime.core() && runtime.core()->programEnded()))
        return 0;
    return app.exec();
}
