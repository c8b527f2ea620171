#pragma once

#include "common/PeerFailure.h"
#include "common/PendingError.h"

#include <QString>

// The parts of the gateway that the start-up and the main window call, each behind a small
// interface so that the window can be driven in tests with recording fakes. Each has one real
// implementation in its own folder.

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
