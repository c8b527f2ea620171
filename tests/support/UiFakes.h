#pragma once

#include "FakeDesktopServices.h"
#include "FakeSocketEndpoint.h"
#include "common/GatewayState.h"
#include "common/Services.h"
#include "plc/KeloLink.h"
#include "ui/WindowParts.h"

#include <QStringList>

// Fakes of every part the main window calls. They write one shared journal, so that tests can
// check the order of calls across parts.
using UiJournal = QStringList;

class UiFakeKelo : public KeloLink
{
public:
    explicit UiFakeKelo(UiJournal &journal) : m_journal(journal) {}
    QString netId() const override { return {}; }
    void setNetId(const QString &value) override { m_journal << "kelo.netId=" + value; }
    QString netId2() const override { return {}; }
    void setNetId2(const QString &value) override { m_journal << "kelo.netId2=" + value; }
    QString port() const override { return {}; }
    void setPort(const QString &value) override { m_journal << "kelo.port=" + value; }
    qint32 createVarHandle(const QString &, qint32 &) override { return 0; }
    qint32 deleteVarHandle(qint32) override { return 0; }
    qint32 connectVar(const QString &, qint32, qint32, qint32 &, void *) override { return 0; }
    qint32 disconnectVar(qint32) override { return 0; }
    qint32 readVarBool(qint32, qint32, bool &) override { return 0; }
    qint32 writeVarBool(qint32, qint32, bool) override { return 0; }
    qint32 readVarString(qint32, qint32, QString &) override { return 0; }
    qint32 writeVarString(qint32, qint32, const QString &) override { return 0; }
    qint32 writeVarLong(qint32, qint32, qint32) override { return 0; }
    qint32 writeVarInt(qint32, qint32, qint16) override { return 0; }
    qint32 releaseLink() override { return m_journal << "kelo.releaseLink", 0; }
    qint32 showProperties() override { return m_journal << "kelo.showProperties", 0; }

private:
    UiJournal &m_journal;
};

class UiFakeSocket : public FakeSocketEndpoint
{
public:
    explicit UiFakeSocket(UiJournal &journal) : m_journal(journal) {}
    bool Connect(const QString &host, const QString &p) override
    {
        m_journal << "socket.Connect:" + host + ':' + p;
        return FakeSocketEndpoint::Connect(host, p);
    }
    void Close() override
    {
        m_journal << "socket.Close";
        FakeSocketEndpoint::Close();
    }

private:
    UiJournal &m_journal;
};

// The configuration load fills the state as the real one does from its file, and leaves edit
// mode; the other parts only record their calls and give the answers a test sets.
class UiFakeParts : public ConfigCommands,
                    public FreeSpaceGuard,
                    public ManagerLink,
                    public LogMaintenance,
                    public PlcConnection,
                    public MessageListOwner,
                    public InstanceGuard
{
public:
    UiFakeParts(UiJournal &journal, GatewayState &state) : m_journal(journal), m_state(state) {}

    QString modulName = QStringLiteral("Line1"), netId = QStringLiteral("10.1.1.5.1.1"),
            port = QStringLiteral("851");
    int managerResult = ManagerLink::NoManager;
    bool otherInstance = false;

    void loadConfiguration() override
    {
        m_journal << "config.load";
        m_state.txtModulname = m_state.modulName = modulName;
        m_state.txtNetId = netId;
        m_state.txtPort = port;
        m_state.editControls(false);
    }
    void saveConfiguration() override { m_journal << "config.save"; }
    void saveAs() override { m_journal << "config.saveAs"; }
    void checkFreeSpace(bool report) override
    {
        m_journal << QStringLiteral("freeSpace.check:%1").arg(report);
    }
    int connectManagerLink(const QString &title) override
    {
        return m_journal << "manager.connect:" + title, managerResult;
    }
    void disconnectManagerLink() override { m_journal << "manager.disconnect"; }
    void buildBackup() override { m_journal << "log.buildBackup"; }
    void killOldBakFiles() override { m_journal << "log.killOldBakFiles"; }
    void connectPlc() override { m_journal << "plc.connect"; }
    void terminateAll() override { m_journal << "plc.terminateAll"; }
    void dropMessages() override { m_journal << "messages.drop"; }
    bool anotherInstanceRunning() override { return m_journal << "instances.check", otherInstance; }

private:
    UiJournal &m_journal;
    GatewayState &m_state;
};

// A main window's whole surroundings: state, fakes, and the parts struct over them.
struct UiRig {
    UiJournal journal;
    GatewayState state;
    FakeDesktopServices desktop;
    UiFakeKelo kelo{journal};
    UiFakeSocket socket{journal};
    UiFakeParts parts{journal, state};
    int endProgramCalls = 0;
    QString programFolder;

    explicit UiRig(const QString &folder) : programFolder(folder) {}

    // config replaces the fake configuration when given.
    WindowParts windowParts(ConfigCommands *config = nullptr)
    {
        const auto utf8 = [](const QString &text) { return "utf8(" + text + ')'; };
        return WindowParts{parts,         config ? *config : parts,
                           parts,         kelo,
                           parts,         parts,
                           socket,        parts,
                           parts,         desktop,
                           utf8,          [this] { ++endProgramCalls; },
                           programFolder, QStringLiteral("1.0.174")};
    }
};
