#include "core/GatewayRuntime.h"

#include "plc/PlcLinkFactory.h"
#include "startup/StartUp.h"

#include <QTimer>

GatewayRuntime::GatewayRuntime(DesktopServices &desktopServices, std::function<void()> endProgram)
    : folder(programFolder()), desktop(desktopServices), m_endProgram(std::move(endProgram))
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
    return QStringLiteral("%1.%2.%3").arg(KAVETTA_VERSION_MAJOR).arg(KAVETTA_VERSION_MINOR).arg(KAVETTA_VERSION_PATCH);
}

ManagerCallbacks GatewayRuntime::managerCallbacks()
{
    ManagerCallbacks callbacks;
    callbacks.serverStart = [this] {
        if (m_core)
            m_core->serverStart();
    };
    callbacks.serverStop = [this] {
        messages.dropMessages();
        if (m_core)
            m_core->unload();
    };
    return callbacks;
}

void GatewayRuntime::createCore()
{
    QString linkProblem;
    m_link = createPlcLink(state.configFile, linkProblem);
    m_plc = std::make_unique<PlcCycles>(state, *m_link, socket, commLog);
    m_plc->setLabelCommands(&labels);
    const CoreParts parts{freeSpace,
                          configCommands,
                          managerLink,
                          *m_link,
                          logBackup,
                          *m_plc,
                          socket,
                          messages,
                          instances,
                          desktop,
                          commLog,
                          [plc = m_plc.get()] { plc->responseTick(); },
                          m_endProgram,
                          folder,
                          versionText(),
                          linkProblem};
    m_core = std::make_unique<GatewayCore>(state, parts);
    // A stalled event loop stops these ticks, and the service manager restarts the gateway.
    QObject::connect(m_core->supervisionTimer(), &QTimer::timeout, m_core.get(), [this] { service.watchdog(); });
    QObject::connect(m_core.get(), &GatewayCore::loadFinished, m_core.get(), [this] { service.ready(); });
    QObject::connect(m_core.get(), &GatewayCore::unloaded, m_core.get(), [this] { service.stopping(); });
}

bool GatewayRuntime::start(const QStringList &arguments, const std::function<void(GatewayCore &)> &load)
{
    StartUp startUp(state, host, desktop);
    return startUp.startUp(commandLineText(arguments), [this, &load] {
        createCore();
        load(*m_core);
        return PendingError{};
    });
}
