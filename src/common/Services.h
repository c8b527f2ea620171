#pragma once

#include "common/PeerFailure.h"
#include "common/PendingError.h"

#include <QString>

// The interfaces of the parts that the gateway core, the start-up and the main window call, each
// small, so that the core and the window can be driven in tests with recording fakes. Each has
// one real implementation in its own folder.

// Free disk space guard (logging/options): may switch the communication log off.
class FreeSpaceGuard
{
public:
    virtual ~FreeSpaceGuard() = default;
    virtual void checkFreeSpace(bool report) = 0;
};

// Rotation of the communication log and clean-up of old backups.
class LogMaintenance
{
public:
    virtual ~LogMaintenance() = default;
    virtual void buildBackup() = 0;
    virtual void killOldBakFiles() = 0;
};

// The operator's message list: dropped when the gateway shuts down.
class MessageListOwner
{
public:
    virtual ~MessageListOwner() = default;
    virtual void dropMessages() = 0;
};

// Link to the server-manager program.
class ManagerLink
{
public:
    enum Result { Registered = 0, AlreadyRunning = 1, NoManager = 2 };
    virtual ~ManagerLink() = default;
    virtual int connectManagerLink(const QString &title) = 0;
    virtual void disconnectManagerLink() = 0;
};

// The PLC connection: the variable handles of this instance and the request notification.
class PlcConnection
{
public:
    virtual ~PlcConnection() = default;
    virtual void connectPlc() = 0;
    // Releases every handle (the records' Terminate) and drops the record list.
    virtual void terminateAll() = 0;
    // The socket endpoint's state (its state number) for the PLC program's ".ConnectStatus". A
    // connection without PLC variables has nowhere to show it.
    virtual void showSocketState(int state) { Q_UNUSED(state); }
    // A failure of the peer side for the PLC program, where the instance options ask for that.
    virtual void reportPeerFailure(PeerFailure code, const QString &message)
    {
        Q_UNUSED(code);
        Q_UNUSED(message);
    }
};

// Registration of the program with the desktop (program path, configuration file type).
class HostIntegration
{
public:
    virtual ~HostIntegration() = default;
    virtual PendingError registerProgramPath() = 0;
    virtual PendingError registerFileType(const QString &extensionName) = 0;
};

// The configuration commands as the core uses them. The real configuration class has no
// virtual members, so the core reaches it through this small interface (ConfigurationCommands
// adapts it) and tests record the calls.
class ConfigCommands
{
public:
    virtual ~ConfigCommands() = default;
    virtual void loadConfiguration() = 0;
    virtual void saveConfiguration() = 0;
    // The file dialog, then a save when a ".zelb" name was chosen.
    virtual void saveAs() = 0;
};

// Whether another process of this program is running right now.
class InstanceGuard
{
public:
    virtual ~InstanceGuard() = default;
    virtual bool anotherInstanceRunning() = 0;
};

// The response cycle of the PLC side: one tick (Timer2) hands at most one received piece to the
// PLC.
class ResponseCycle
{
public:
    virtual ~ResponseCycle() = default;
    virtual void responseTick() = 0;
};

// The PLC link as the configuration asks for it, which a reload may replace by another kind of
// link or another variable map.
class PlcLinkRenewal
{
public:
    virtual ~PlcLinkRenewal() = default;
    // Why the link in use cannot be used as configured (its variable map); empty when it can.
    virtual QString problem() const = 0;
    // What differs between the link in use and the one the configuration asks for now; empty
    // when they are the same.
    virtual QString pendingChange() const = 0;
    // Makes the link the configuration asks for now; the caller has released the old one.
    virtual void renew() = 0;
};

// What the gateway core asks of its main window, when it has one. A gateway without a window
// (a service) runs the same core with none of this.
class GatewayWindow
{
public:
    virtual ~GatewayWindow() = default;
    virtual bool isWindowMinimized() const = 0;
    // Hidden, and its window state back to normal: it waits behind the tray icon.
    virtual void hideFromMinimized() = 0;
    // During the load: the log view filled from the log file, and hidden.
    virtual void showLoadedLog() = 0;
    // End of the load: the window's base height is taken; then it hides, or is shown minimised
    // where nobody could bring a hidden window back.
    virtual void finishLoad(bool showMinimized) = 0;
    // Show, normal state, raise and activate.
    virtual void reassert() = 0;
    // The server manager's start: on top of all other windows and shown, re-asserted, the input
    // focus in the server path, normal window state.
    virtual void showForManager() = 0;
    // The unload: the window and every other window of the program go away.
    virtual void closeWindows() = 0;
};
