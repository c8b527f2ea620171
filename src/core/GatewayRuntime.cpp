#include "core/GatewayRuntime.h"

#include "common/StatusLine.h"
#include "config/ProgramPaths.h"
#include "plclink/ModbusLink.h"
#include "plclink/PlcLinkFactory.h"
#include "plclink/TargetedLink.h"
#include "startup/ConfigCheck.h"
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

// Why a start ended at once (its module runs already); empty when it did not.
QString endedAtStartNotice(const GatewayCore *core, const QString &module)
{
    if (!core || !core->programEnded() || core->isLoaded())
        return {};
    if (core->managerResult() == ManagerLink::AlreadyRunning)
        return QStringLiteral("Module %1 runs already under the server manager: this start ends").arg(module);
    return QStringLiteral(
               "Another process of this program runs already and no server manager tells the instances "
               "apart: this start of module %1 ends")
        .arg(module);
}

} // namespace

GatewayRuntime::GatewayRuntime(DesktopServices &desktopServices, InstanceGuard &instanceGuard,
                               std::function<void()> endProgram)
    : folder(programFolder()), desktop(desktopServices), instances(instanceGuard),
      m_endProgram(std::move(endProgram))
{
    m_sinceStart.start();
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
    callbacks.status = [this] { return managerStatus(view()); };
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
        eventLog.writeAppLogEvent(startSummary(view()));
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
        if (const QString ended = endedAtStartNotice(m_core.get(), state.settings.moduleName);
            !ended.isEmpty()) {
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
                             if (core && reloadFromSignal() && afterReload)
                                 afterReload();
                             return;
                         }
                         if (core)
                             core->unload();
                         else
                             QCoreApplication::quit();
                     });
}

bool GatewayRuntime::reloadFromSignal()
{
    const CheckReport report = checkInstance(state.configFile, folder);
    if (report.clean()) {
        m_refusedReload.clear();
        service.reloading();
        m_core->loadConfiguration();
        service.ready();
        return true;
    }
    // A file that "--check" rejects is not applied: a misspelled record would otherwise take a
    // value away from the running line (a peer port, the module name).
    ++m_reloadsRefused;
    QStringList errors;
    for (const ConfigProblem &p : report.problems)
        if (p.isError())
            errors << p.file + (p.line > 0 ? QStringLiteral(":%1").arg(p.line) : QString()) +
                          QStringLiteral(": ") + p.reason;
    m_refusedReload = errors.join(QStringLiteral("; "));
    const QString text = QStringLiteral("Configuration not reloaded, the gateway runs on with what it "
                                        "loaded before: %1")
                             .arg(m_refusedReload);
    qint16 type = EventLog::Error;
    eventLog.writeAppLogEvent(text, type);
    return false;
}

InstanceView GatewayRuntime::view() const
{
    InstanceView v;
    const GatewayState &s = state;
    v.version = versionText();
    v.module = s.settings.moduleName;
    v.machine = s.edited.machineName;
    v.configFile = s.configFile;
    v.startedAt = m_startedAt;
    v.uptimeSec = m_sinceStart.elapsed() / 1000;
    v.server = s.settings.serverRole.on();
    v.staticConnection = s.settings.staticConnection.on();
    v.remoteHost = s.settings.remoteHost;
    v.socketPort = s.settings.remotePort;
    v.socketState = socket.state();
    v.socketStateText = SocketEndpoint::stateText(v.socketState);
    v.peerConnected = v.socketState == SocketEndpoint::Connected;
    v.state = s.lblState;
    v.lastError = s.lblError;
    v.lastComm = s.lblLastComm;
    v.pending = s.sendQueue.size();
    v.receiveQueue = s.receiveQueue.size();
    v.counters = s.counters;
    v.logFile = s.logFileName;
    v.logEnabled = s.logEnabled;
    if (const auto free = storage.freeSpace(folder))
        v.logFreeBytes = free->freeBytes;
    v.eventLogEntriesLost = eventLog.lostEntries();
    v.reloadsRefused = m_reloadsRefused;
    v.refusedReload = m_refusedReload;
    v.journalEnabled = instanceOptions.journal.enabled;
    v.journalProblem = s.journalProblem;
    v.statusPort = instanceOptions.status.port;
    v.statusAddress = instanceOptions.status.address;

    InstanceView::Plc &p = v.plc;
    p.mapFile = plcMapFileFor(s.configFile);
    const PlcLink *link = m_link ? &m_link->current() : nullptr;
    p.used = !v.server && link;
    if (!link)
        return v;
    p.target = link->netId() + QLatin1Char(':') + link->port();
    const PlcRecord *record = m_plc ? m_plc->plcRecord() : nullptr;
    const bool handles = record && record->hConnectAnfordVar != 0;
    if (const auto *targeted = qobject_cast<const TargetedLink *>(link)) {
        p.problem = targeted->lastFailure();
        p.kind =
            qobject_cast<const ModbusLink *>(link) ? QStringLiteral("modbus") : QStringLiteral("runtime");
        p.state = TargetedLink::linkStateText(targeted->linkState());
        p.up = handles && targeted->isConnected();
    } else {
        p.kind = QStringLiteral("other");
        p.up = handles;
        p.state = handles ? QStringLiteral("connected") : QStringLiteral("not connected");
    }
    if (p.up)
        p.problem.clear();
    return v;
}
