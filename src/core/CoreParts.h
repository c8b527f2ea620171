#pragma once

#include "common/Services.h"

#include <QString>

#include <functional>

class DesktopServices;
class PlcLink;
class LogWriter;
class SocketEndpoint;

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
    // The response cycle (Timer2); null while there is no PLC side.
    ResponseCycle *responses;
    // Called once the unload handler has finished: the program ends.
    std::function<void()> endProgram;
    QString programFolder;
    QString version; // "major.minor.revision"
    // The PLC link as configured: why it cannot be used (its variable map), reported before the
    // PLC connection is made, and for a reload what differs from the one the configuration asks
    // for now and making that one. Null where the link cannot change.
    PlcLinkRenewal *linkRenewal = nullptr;
};
