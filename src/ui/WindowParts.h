#pragma once

#include <QString>

#include <functional>

class DesktopServices;
class FreeSpaceGuard;
class KeloLink;
class LogMaintenance;
class ManagerLink;
class MessageListOwner;
class PlcConnection;
class SocketEndpoint;

// The configuration commands as the window uses them. The real configuration class has no
// virtual members, so the window reaches it through this small interface (ConfigurationCommands
// in GatewayApp adapts it) and tests record the calls.
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

// Everything the main window calls besides the state it shows. All references must outlive
// the window.
struct WindowParts {
    FreeSpaceGuard &freeSpace;
    ConfigCommands &config;
    ManagerLink &manager;
    KeloLink &kelo;
    LogMaintenance &logMaintenance;
    PlcConnection &plc;
    SocketEndpoint &socket;
    MessageListOwner &messages;
    InstanceGuard &instances;
    DesktopServices &desktop;
    // Text to a text of UTF-8 byte values (the send button in the client role).
    std::function<QString(const QString &)> encodeUtf8;
    // Called once the unload handler has finished: the program ends.
    std::function<void()> endProgram;
    QString programFolder;
    QString version; // "major.minor.revision"
};
