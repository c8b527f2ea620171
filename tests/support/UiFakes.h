#pragma once

#include "FakeDesktopServices.h"
#include "FakeSocketEndpoint.h"
#include "RecordingLog.h"
#include "common/GatewayState.h"
#include "common/Services.h"
#include "core/CoreParts.h"
#include "plclink/PlcLink.h"

#include <QStringList>

// A main window's whole surroundings: the state and fakes of every part the window calls. All
// parts write one journal (the socket fake's call list), so tests can check the order of calls
// across parts. The configuration load fills the state as the real one does from its file and
// leaves edit mode; the other parts only record their calls and give the answers a test sets.
struct UiRig : public PlcLink,
               public ConfigCommands,
               public FreeSpaceGuard,
               public ManagerLink,
               public LogMaintenance,
               public PlcConnection,
               public MessageListOwner,
               public InstanceGuard {
    GatewayState state;
    FakeDesktopServices desktop;
    FakeSocketEndpoint socket;
    RecordingLog log;
    QStringList &journal = socket.calls;
    QString programFolder;
    QString modulName = QStringLiteral("Line1"), plcNetId = QStringLiteral("10.1.1.5.1.1"),
            plcPort = QStringLiteral("851");
    int managerResult = ManagerLink::NoManager;
    bool otherInstance = false;
    int endProgramCalls = 0;

    explicit UiRig(const QString &folder) : programFolder(folder) {}

    // config replaces the fake configuration when given.
    CoreParts coreParts(ConfigCommands *config = nullptr)
    {
        const auto endProgram = [this] { ++endProgramCalls; };
        // Braces: clang (which clang-tidy uses) has no aggregate initialisation from parentheses yet.
        return CoreParts{*this,
                         config ? *config : *this,
                         *this,
                         *this,
                         *this,
                         *this,
                         socket,
                         *this,
                         *this,
                         desktop,
                         log,
                         nullptr,
                         endProgram,
                         programFolder,
                         QStringLiteral("1.0.174")};
    }

    void loadConfiguration() override
    {
        journal << "config.load";
        state.edited.moduleName = state.settings.moduleName = modulName;
        state.edited.plcNetId = plcNetId;
        state.edited.plcPort = plcPort;
        state.editControls(false);
    }
    void saveConfiguration() override { journal << "config.save"; }
    void saveAs() override { journal << "config.saveAs"; }
    void checkFreeSpace(bool report) override { journal << QStringLiteral("freeSpace.check:%1").arg(report); }
    int connectManagerLink(const QString &title) override
    {
        return journal << "manager.connect:" + title, managerResult;
    }
    void disconnectManagerLink() override { journal << "manager.disconnect"; }
    void buildBackup() override { journal << "log.buildBackup"; }
    void killOldBakFiles() override { journal << "log.killOldBakFiles"; }
    void connectPlc() override { journal << "plc.connect"; }
    void terminateAll() override { journal << "plc.terminateAll"; }
    QList<int> socketStates; // what the supervision reported for ".ConnectStatus"
    void showSocketState(int state) override { socketStates << state; }
    void dropMessages() override { journal << "messages.drop"; }
    bool anotherInstanceRunning() override { return journal << "instances.check", otherInstance; }

    QString netId() const override { return {}; }
    void setNetId(const QString &value) override { journal << "kelo.netId=" + value; }
    QString netId2() const override { return {}; }
    void setNetId2(const QString &value) override { journal << "kelo.netId2=" + value; }
    QString port() const override { return {}; }
    void setPort(const QString &value) override { journal << "kelo.port=" + value; }
    qint32 createVarHandle(const QString &, qint32 &) override { return 0; }
    qint32 deleteVarHandle(qint32) override { return 0; }
    qint32 connectVar(const QString &, qint32 &, void *) override { return 0; }
    qint32 disconnectVar(qint32) override { return 0; }
    qint32 readVarBool(qint32, bool &) override { return 0; }
    qint32 writeVarBool(qint32, bool) override { return 0; }
    qint32 readVarString(qint32, qint32, QString &) override { return 0; }
    qint32 writeVarString(qint32, const QString &) override { return 0; }
    qint32 writeVarLong(qint32, qint32) override { return 0; }
    qint32 writeVarInt(qint32, qint16) override { return 0; }
    qint32 releaseLink() override { return journal << "kelo.releaseLink", 0; }
    qint32 showProperties() override { return journal << "kelo.showProperties", 0; }
};
