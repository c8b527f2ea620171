#include "core/GatewayCore.h"

#include "common/DesktopServices.h"
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/Services.h"
#include "common/StatusLine.h"
#include "plclink/PlcLink.h"
#include "socket/SocketEndpoint.h"
#include "socket/SocketEvents.h"
#include "socket/SocketSupervision.h"
#include "socket/Utf8Wire.h"

#include <QFileInfo>
#include <QTimer>

namespace
{

// What a reload compares, in the order of its record: PLC target, module, role, peer.
enum Compared { PlcTarget, Module, Role, Peer };
const char *const comparedNames[] = {"PLC target", "module", "role", "peer"};

QStringList comparedSettings(const GatewayState &s)
{
    return {s.edited.plcNetId + QLatin1Char(':') + s.edited.plcPort, s.settings.moduleName,
            s.settings.serverRole ? QStringLiteral("server") : QStringLiteral("client"),
            s.settings.remoteHost + QLatin1Char(':') + s.settings.remotePort};
}

QString logFileNameFor(const QString &programFolder, const QString &modulName)
{
    return programFolder + QStringLiteral("/Socketcomm-") + modulName + QStringLiteral("-.dat");
}

} // namespace

GatewayCore::GatewayCore(GatewayState &state, const CoreParts &parts, QObject *parent)
    : QObject(parent), m_state(state), m_parts(parts)
{
    if (m_parts.socket.objectName().isEmpty())
        m_parts.socket.setObjectName(QStringLiteral("Winsock1"));
    if (m_parts.kelo.objectName().isEmpty())
        m_parts.kelo.setObjectName(QStringLiteral("KeloOcx1"));

    m_supervision = std::make_unique<SocketSupervision>(state, m_parts.socket, m_parts.log);
    m_supervision->setWindowStep([this] { windowStep(); });
    m_supervision->setStateReport([this](int socketState) { m_parts.plc.showSocketState(socketState); });
    m_events = new SocketEvents(
        state, m_parts.socket, m_parts.log, [this] { startResponseCycle(); }, this);
    const auto failureReport = [this](PeerFailure code, const QString &message) {
        m_parts.plc.reportPeerFailure(code, message);
    };
    m_supervision->setFailureReport(failureReport);
    m_events->setFailureReport(failureReport);

    m_timer1 = new QTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(supervisionIntervalMs);
    connect(m_timer1, &QTimer::timeout, this, &GatewayCore::supervisionTick);
    m_timer2 = new QTimer(this);
    m_timer2->setObjectName(QStringLiteral("Timer2"));
    m_timer2->setInterval(0);
    connect(m_timer2, &QTimer::timeout, this, &GatewayCore::responseTick);
    m_timer1->start();
}

GatewayCore::~GatewayCore() = default;

void GatewayCore::load()
{
    CoreParts &p = m_parts;
    p.freeSpace.checkFreeSpace(true);
    const bool logNamed = !m_state.logFileName.isEmpty();
    p.config.loadConfiguration();

    const QString title = m_state.settings.moduleName + QStringLiteral(" Socket-Server");
    m_state.applicationTitle =
        m_state.settings.moduleName.isEmpty() ? title + QStringLiteral(": Empty configuration ") : title;
    m_managerResult = p.manager.connectManagerLink(title);
    m_state.windowCaption =
        title + QStringLiteral(" Vers:") + p.version + QStringLiteral("  ") + p.programFolder;
    m_state.notify();

    if (m_managerResult == ManagerLink::AlreadyRunning ||
        (m_managerResult == ManagerLink::NoManager && p.instances.anotherInstanceRunning())) {
        unload();
        return;
    }

    setLinkTarget();

    m_state.logFileName = logFileNameFor(p.programFolder, m_state.settings.moduleName);
    const bool logFileExists = QFileInfo(m_state.logFileName).isFile();
    m_state.editControls(false);

    if (logFileExists)
        p.logMaintenance.buildBackup();
    p.logMaintenance.killOldBakFiles();
    // A server role that could not listen said so before the log had a file: the record that
    // explains why nothing listens goes there now.
    if (!logNamed && m_state.settings.serverRole && p.socket.state() != SocketEndpoint::Listening &&
        m_state.lblError.contains(QLatin1String("Listen Port")))
        p.log.writeLog(m_state.lblError, true);

    if (m_window)
        m_window->showLoadedLog();

    if (const QString problem = p.linkRenewal ? p.linkRenewal->problem() : QString(); !problem.isEmpty()) {
        m_state.setLblError(statusLine(problem));
        p.log.writeLog(m_state.lblError, false);
    }
    p.plc.connectPlc();
    m_loaded = true;

    if (m_window)
        m_window->finishLoad(m_managerResult == ManagerLink::NoManager && !p.desktop.trayAvailable());
    emit loadFinished();
}

void GatewayCore::setLinkTarget()
{
    if (!m_state.edited.plcNetId.isEmpty()) {
        m_parts.kelo.setNetId(m_state.edited.plcNetId);
        m_parts.kelo.setNetId2(m_state.edited.plcNetId);
    }
    if (!m_state.edited.plcPort.isEmpty())
        m_parts.kelo.setPort(m_state.edited.plcPort);
}

void GatewayCore::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    CoreParts &p = m_parts;
    p.plc.terminateAll();
    p.kelo.releaseLink();
    p.socket.close();
    p.manager.disconnectManagerLink();
    p.messages.dropMessages();

    m_timer1->stop();
    m_timer2->stop();
    if (m_window)
        m_window->closeWindows();
    emit unloaded();
    if (p.endProgram)
        p.endProgram();
}

void GatewayCore::windowStep()
{
    // A window that nobody could bring back from hiding (no notification area, no manager) stays
    // minimised on the task bar.
    const bool reachableWhenHidden =
        m_managerResult != ManagerLink::NoManager || m_parts.desktop.trayAvailable();
    if (m_window && reachableWhenHidden && m_window->isWindowMinimized())
        m_window->hideFromMinimized();
}

void GatewayCore::supervisionTick()
{
    m_supervision->tick();
}

void GatewayCore::startResponseCycle()
{
    // A cycle that is already running keeps its pace. A resting one ticks as soon as the thread
    // is free: a 1 ms sleep first would cost a wake-up of its own, and on a busy PC the wait for
    // a CPU after it, on every answer.
    if (m_timer2->isActive())
        return;
    m_timer2->setInterval(0);
    m_timer2->start();
}

void GatewayCore::responseTick()
{
    if (m_parts.responses)
        m_parts.responses->responseTick();
    else
        m_state.clearAnswers();
    // Nothing waits: the timer rests until the next data arrival instead of waking the process
    // a thousand times a second. An answer still waiting (the PLC has not taken the last one) is
    // looked at again every responseIntervalMs, not in a busy loop.
    if (m_state.receiveQueue.isEmpty())
        m_timer2->stop();
    else if (m_timer2->interval() != responseIntervalMs)
        m_timer2->setInterval(responseIntervalMs);
}

void GatewayCore::connectSocket()
{
    m_parts.socket.connectToPeer(m_state.settings.remoteHost, m_state.settings.remotePort);
    m_parts.socket.clearError();
}

void GatewayCore::closeSocket()
{
    m_parts.socket.close();
    m_parts.socket.clearError();
}

void GatewayCore::sendData()
{
    const QString text = m_state.sendText;
    if (m_state.settings.serverRole) {
        m_parts.socket.sendData(text);
        m_parts.socket.clearError();
        return;
    }
    m_state.queueSend(m_state.settings.sendUtf8 ? encodeUTF8(text) : text);
    m_state.notify();
}

void GatewayCore::loadConfiguration()
{
    const QStringList before = comparedSettings(m_state);
    m_parts.config.loadConfiguration();
    if (m_loaded && !m_unloaded)
        applyReload(before);
}

void GatewayCore::applyReload(const QStringList &before)
{
    CoreParts &p = m_parts;
    const QStringList now = comparedSettings(m_state);
    QStringList changes;
    for (int i = PlcTarget; i <= Peer; ++i) {
        if (before.at(i) != now.at(i))
            changes << QString::fromLatin1(comparedNames[i]) + QLatin1Char(' ') + before.at(i) +
                           QStringLiteral(" -> ") + now.at(i);
    }
    const QString linkChange = p.linkRenewal ? p.linkRenewal->pendingChange() : QString();
    if (!linkChange.isEmpty())
        changes << linkChange;
    if (changes.isEmpty())
        return;

    const bool roleChanged = before.at(Role) != now.at(Role);
    if (before.at(PlcTarget) != now.at(PlcTarget) || before.at(Module) != now.at(Module) || roleChanged ||
        !linkChange.isEmpty()) {
        // The unload's order: every handle, then the link; then made anew as the load does.
        p.plc.terminateAll();
        p.kelo.releaseLink();
        QString problem;
        if (!linkChange.isEmpty()) {
            p.linkRenewal->renew();
            problem = p.linkRenewal->problem();
        }
        setLinkTarget();
        m_state.logFileName = logFileNameFor(p.programFolder, m_state.settings.moduleName);
        if (!problem.isEmpty()) {
            m_state.setLblError(statusLine(problem));
            p.log.writeLog(m_state.lblError, false);
        }
        p.plc.connectPlc();
    }
    // The server role has listened anew with the configuration; a client connects anew.
    if ((before.at(Peer) != now.at(Peer) || roleChanged) && !m_state.settings.serverRole) {
        p.socket.close();
        p.socket.clearError();
    }
    p.log.writeLog(
        statusLine(QStringLiteral("Configuration reloaded: ") + changes.join(QStringLiteral("; "))), true);
}

void GatewayCore::saveConfiguration()
{
    m_parts.config.saveConfiguration();
}

void GatewayCore::saveAs()
{
    m_parts.config.saveAs();
}

void GatewayCore::reconnectPlc()
{
    m_parts.plc.connectPlc();
}

void GatewayCore::showLinkProperties()
{
    m_parts.kelo.showProperties();
}

void GatewayCore::serverStart()
{
    if (m_window)
        m_window->showForManager();
    m_timer1->stop();
    m_timer1->setInterval(0);
    m_timer1->setInterval(supervisionIntervalMs);
    m_timer1->start();
}
