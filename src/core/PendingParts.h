#pragma once

#include "common/DesktopServices.h"
#include "common/Services.h"

// Stand-ins for the parts of the gateway that are not built yet. Each does what the gateway
// does while that part is absent, nothing more, and goes when the real part arrives.

// No server-manager program can be reached yet: the gateway runs on its own with a tray icon.
class StandaloneManagerLink : public ManagerLink
{
public:
    explicit StandaloneManagerLink(DesktopServices &desktop) : m_desktop(desktop) {}

    int connectManagerLink(const QString &title) override
    {
        QString tip = QStringLiteral("Socket  / ") + title + QStringLiteral("  Socket-Server");
        m_desktop.addTrayIcon(tip.left(63));
        return NoManager;
    }
    void disconnectManagerLink() override { m_desktop.removeTrayIcon(); }

private:
    DesktopServices &m_desktop;
};

// The PLC variables of the instance are not connected yet.
class NoPlcConnection : public PlcConnection
{
public:
    void connectPlc() override {}
    void terminateAll() override {}
};

// Program path and file-type registration are not done yet.
class NoHostIntegration : public HostIntegration
{
public:
    PendingError registerProgramPath() override { return {}; }
    PendingError registerFileType(const QString &) override { return {}; }
};
