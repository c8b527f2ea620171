#include "core/HeadlessApp.h"

#include "core/GatewayRuntime.h"
#include "core/HeadlessDesktop.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// A signal handler may do almost nothing: it writes the signal's number into a socket pair, and
// the event loop reads it and acts on its own thread.
int g_signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

bool installSignalPipe()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    ::fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
    return true;
}

} // namespace

bool headlessRequested()
{
    if (qEnvironmentVariableIntValue("KAVETTA_HEADLESS") == 1)
        return true;
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QString emptyConfigurationNotice(const GatewayState &state, const QString &programFolder)
{
    if (!state.modulName.isEmpty())
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

int runHeadless(QCoreApplication &app)
{
    HeadlessDesktop desktop;
    GatewayRuntime runtime(desktop, [&app] {
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    desktop.setEventLog(&runtime.eventLog);
    desktop.serveMessages(runtime.messages);

    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (installSignalPipe()) {
        signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &app, [&runtime] {
            char byte = 0;
            if (::read(g_signalPipe[0], &byte, 1) != 1)
                return;
            GatewayCore *core = runtime.core();
            if (byte == SIGHUP) {
                if (core) {
                    runtime.service.reloading();
                    core->loadConfiguration();
                    reportFolderAndConfiguration(runtime);
                    runtime.service.ready();
                }
                return;
            }
            if (core)
                core->unload();
            else
                QCoreApplication::quit();
        });
    }

    const bool loaded = runtime.start(app.arguments(), [&runtime](GatewayCore &core) {
        core.load();
        if (!core.programEnded())
            reportFolderAndConfiguration(runtime);
    });
    if (!loaded || (runtime.core() && runtime.core()->programEnded()))
        return 0;
    return app.exec();
}
