#include "core/GatewayRuntime.h"

#include "startup/StartUp.h"

#include <QTimer>

GatewayRuntime::GatewayRuntime(DesktopServices &desktopServices, std::function<void()> endProgram)
    : folder(programFolder()), desktop(desktopServices), m_endProgram(std::move(endProgram))
{
}

GatewayRuntime::~GatewayRuntime()
{
    // The core goes first: its handlers refer to everything else.
    m_core.reset();
}

QString GatewayRuntime::versionText()
{
    return QStringLiteral("%1.%2.%3").arg(KAVETTA_VERSION_MAJOR).arg(KAVETTA_VERSION_MINOR).arg(KAVETTA_VERSION_PATCH);
}

void GatewayRuntime::createCore()
{
    const CoreParts parts{freeSpace, configCommands, managerLink, kelo,    logBackup, plc,
                          socket,    messages,       instances,   desktop, commLog,   {},
                          m_endProgram, folder,      versionText()};
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
