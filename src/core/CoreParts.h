#pragma once

#include <QString>

#include <functional>

class DesktopServices;
class FreeSpaceGuard;
class PlcLink;
class LogMaintenance;
class LogWriter;
class ManagerLink;
class MessageListOwner;
class PlcConnection;
class SocketEndpoint;

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

// Everything the gateway core drives besides the state. All references must outlive the core.
struct CoreParts {
    FreeSpaceGuard &freeSpace;
    ConfigCommands &config;
    ManagerLink &manager;
    PlcLink &kelo;
    LogMaintenance &logMaintenance;
    PlcConnection &plc;
    SocketEndpoint &socket;
    MessageListOwner &messages;
    InstanceGuard &instances;
    DesktopServices &desktop;
    LogWriter &log;
    // One tick of the response cycle (Timer2); empty while there is no PLC side.
    std::function<void()> responseTick;
    // Called once the unload handler has finished: the program ends.
    std::function<void()> endProgram;
    QString programFolder;
    QString version; // "major.minor.revision"
    // Why the PLC link cannot be used as configured (its variable map), reported before the PLC
    // connection is made; empty when all is well.
    QString linkProblem{};
    // For a reload: what differs between the PLC link in use and the one the configuration asks
    // for now (empty: nothing), and making that one, which gives its linkProblem. Empty where the
    // link cannot change.
    std::function<QString()> linkChange{};
    std::function<QString()> renewLink{};
};
