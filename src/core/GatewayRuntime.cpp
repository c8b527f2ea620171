#include "core/GatewayRuntime.h"

#include "common/StatusLine.h"
#include "config/ProgramPaths.h"
#include "startup/StartUp.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

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

GatewayRuntime::GatewayRuntime(DesktopServices &desktopServices, InstanceGuard &instanceGuard,
                               std::function<void()> endProgram)
    : folder(programFolder()), desktop(desktopServices), instances(instanceGuard),
      m_endProgram(std::move(endProgram))
{
}

GatewayRuntime::~GatewayRuntime()
{
    // The core goes first: its handlers refer to everything else; the PLC cycles release their
    // handles while the link is still there.
    m_core.reset();
    m_plc.reset();
    m_link.reset();
}

QString GatewayRuntime::versionText()
{
    return QStringLiteral("%1.%2.%3")
        .arg(KAVETTA_VERSION_MAJOR)
        .arg(KAVETTA_VERSION_MINOR)
        .arg(KAVETTA_VERSION_PATCH);
}

ManagerCallbacks GatewayRuntime::managerCallbacks()
{
    ManagerCallbacks callbacks;
    callbacks.serverStart = [this] {
        if (m_core)
            m_core->serverStart();
    };
    callbacks.status = [this] { return statusReport.managerStatus(); };
    callbacks.serverStop = [this] {
        messages.dropMessages();
        if (m_core)
            m_core->unload();
    };
    return callbacks;
}

void GatewayRuntime::createCore()
{
    m_link = std::make_unique<PlcLinkHolder>(state.configFile, &eventLog);
    m_plc = std::make_unique<PlcCycles>(state, *m_link, socket, commLog);
    m_plc->setLabelCommands(&labels);
    CoreParts parts{freeSpace,    configCommands, managerLink,   *m_link,     logBackup, *m_plc,
                    socket,       messages,       instances,     desktop,     commLog,   m_plc.get(),
                    m_endProgram, folder,         versionText(), m_link.get()};
    m_core = std::make_unique<GatewayCore>(state, parts);
    // A stalled event loop stops these ticks, and the service manager restarts the gateway.
    QObject::connect(m_core->supervisionTimer(), &QTimer::timeout, m_core.get(),
                     [this] { service.watchdog(); });
    QObject::connect(m_core.get(), &GatewayCore::loadFinished, m_core.get(), [this] {
        eventLog.writeAppLogEvent(statusReport.startSummary());
        reportOptionProblems();
        settleJournal();
        service.ready();
    });
    QObject::connect(m_core.get(), &GatewayCore::unloaded, m_core.get(), [this] { service.stopping(); });
}

void GatewayRuntime::readInstanceOptions()
{
    const InstanceOptions before = instanceOptions;
    instanceOptions = InstanceOptions::load(state.configFile);
    const bool changed = before.safety != instanceOptions.safety ||
                         before.journal != instanceOptions.journal || before.status != instanceOptions.status;
    state.safety = instanceOptions.safety;
    journal.apply(instanceOptions.journal, state.configFile);
    // During the load the log has no file yet: the problems follow once it is loaded.
    if (m_core && m_core->isLoaded()) {
        // Says that a reload took the options, so nobody has to guess whether it did.
        if (changed)
            commLog.writeLog(statusLine(QStringLiteral("Instance options reloaded: ") + instanceOptions.file),
                             true);
        reportOptionProblems();
        settleJournal();
    }
    if (onOptionsRead)
        onOptionsRead();
}

void GatewayRuntime::reportOptionProblems()
{
    for (const ConfigProblem &problem : std::as_const(instanceOptions.problems)) {
        state.setLblError(statusLine(QStringLiteral("Instance options ") + problem.text()));
        commLog.writeLog(state.lblError, false);
    }
}

void GatewayRuntime::settleJournal()
{
    if (journal.settle() && m_core)
        m_core->startResponseCycle();
}

bool GatewayRuntime::start(const QStringList &arguments, const std::function<void(GatewayCore &)> &load)
{
    StartUp startUp(state, host, desktop);
    return startUp.startUp(commandLineText(arguments), [this, &load] {
        createCore();
        load(*m_core);
        if (const QString ended = statusReport.endedAtStartNotice(); !ended.isEmpty()) {
            qint16 type = EventLog::Warning;
            eventLog.writeAppLogEvent(ended, type);
        }
        return PendingError{};
    });
}

void GatewayRuntime::watchSignals(std::function<void()> afterReload)
{
    if (m_signals || !installSignalPipe())
        return;
    m_signals = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(m_signals.get(), &QSocketNotifier::activated, m_signals.get(),
                     [this, afterReload = std::move(afterReload)] {
                         char byte = 0;
                         if (::read(g_signalPipe[0], &byte, 1) != 1)
                             return;
                         GatewayCore *core = m_core.get();
                         if (byte == SIGHUP) {
                             if (core) {
                                 service.reloading();
                                 core->loadConfiguration();
                                 if (afterReload)
                                     afterReload();
                                 service.ready();
                             }
                             return;
                         }
                         if (core)
                             core->unload();
                         else
                             QCoreApplication::quit();
                     });
}
