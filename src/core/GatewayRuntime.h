#pragma once

#include "common/GatewayState.h"
#include "common/InstanceView.h"
#include "config/Configuration.h"
#include "config/InstanceOptions.h"
#include "core/ConfigurationCommands.h"
#include "core/GatewayCore.h"
#include "journal/JournalKeeper.h"
#include "labels/LabelBuilder.h"
#include "labels/MdbPrintData.h"
#include "logging/CommLog.h"
#include "logging/EventLog.h"
#include "logging/LogBackup.h"
#include "messages/MsgList.h"
#include "platform/DbusManagerLink.h"
#include "platform/FreeSpace.h"
#include "platform/HostRegistration.h"
#include "platform/Options.h"
#include "platform/ServiceNotifier.h"
#include "plc/PlcCycles.h"
#include "plclink/PlcLinkHolder.h"
#include "socket/QtSocketEndpoint.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <functional>
#include <memory>

class DesktopServices;
class QSocketNotifier;

// Every part of one gateway instance, built in the order they depend on each other, with or
// without a window: the window, when there is one, is made by the caller around the core.
class GatewayRuntime
{
public:
    // endProgram: what ends the program once the unload has run (usually the event loop's quit);
    // instances: whether another process of this program runs (the program's instance lock).
    GatewayRuntime(DesktopServices &desktop, InstanceGuard &instances, std::function<void()> endProgram);
    ~GatewayRuntime();
    GatewayRuntime(const GatewayRuntime &) = delete;
    GatewayRuntime &operator=(const GatewayRuntime &) = delete;

    // The start routine on the program's arguments (the program name first). Once the
    // configuration file is fixed, the core is made and load runs its load handler (through the
    // window where there is one). Returns false when the program only registered its file type.
    bool start(const QStringList &arguments, const std::function<void(GatewayCore &)> &load);

    // SIGTERM and SIGINT run the unload (the program then ends with 0); SIGHUP loads the
    // configuration again, as the operator's Load does, and then calls afterReload; but first
    // it checks the instance's files as "--check" does, and with any error it keeps what is
    // loaded and says why (see reloadFromSignal).
    void watchSignals(std::function<void()> afterReload = {});

    GatewayCore *core() { return m_core.get(); }
    // The PLC link in use, made with the core: the Modbus link where a variable map lies beside
    // the configuration file, else the link to the PLC runtime. A reload may replace it; the
    // holder then calls its onRenewed.
    PlcLink *link() { return m_link ? &m_link->current() : nullptr; }
    PlcLinkHolder *linkHolder() { return m_link.get(); }
    // The PLC side (its record and handles), made with the core.
    const PlcCycles *plc() const { return m_plc.get(); }
    static QString versionText();
    // The instance as the status surfaces show it (status endpoint, server manager, event log at
    // start), read now.
    InstanceView view() const;

    const QString folder;
    GatewayState state;
    DesktopServices &desktop;
    EventLog eventLog{state};
    MsgList messages{state, eventLog, desktop};
    Options options{messages};
    StorageFreeSpace storage;
    FreeSpace freeSpace{state, options, messages, storage, folder};
    LogBackup logBackup{state, desktop, freeSpace, folder};
    CommLog commLog{state, messages, logBackup, eventLog};
    QtSocketEndpoint socket;
    Configuration configuration{state, socket, commLog, desktop};
    ConfigurationCommands configCommands{configuration, [this] { readInstanceOptions(); }};
    DbusManagerLink managerLink{state, desktop, managerCallbacks()};
    HostRegistration host{options};
    InstanceGuard &instances;
    MdbPrintData printData{state, commLog};
    LabelBuilder labels{state, commLog, socket, printData, folder};
    // Readiness, watchdog and stopping for a service manager; does nothing outside one.
    ServiceNotifier service;
    // The instance options file beside the configuration file, read again with every load and
    // save of the configuration (a SIGHUP, the operator's Load); its problems are reported to
    // the operator and the log once the gateway is loaded.
    InstanceOptions instanceOptions;
    // The durable queue ([journal]); settled once the gateway is loaded.
    JournalKeeper journal{state, commLog};
    // Called after every reading of the instance options.
    std::function<void()> onOptionsRead;

private:
    void createCore();
    void readInstanceOptions();
    void reportOptionProblems();
    void settleJournal();
    // The reload that SIGHUP asks for; false when a check of the files refused it.
    bool reloadFromSignal();
    ManagerCallbacks managerCallbacks();

    std::function<void()> m_endProgram;
    const QDateTime m_startedAt = QDateTime::currentDateTime();
    QElapsedTimer m_sinceStart;
    // Made with the core, once the configuration file is known; released before the link.
    std::unique_ptr<PlcLinkHolder> m_link;
    std::unique_ptr<PlcCycles> m_plc;
    std::unique_ptr<GatewayCore> m_core;
    std::unique_ptr<QSocketNotifier> m_signals;
    quint64 m_reloadsRefused = 0;
    QString m_refusedReload;
};
