#pragma once

#include "common/Services.h"
#include "plclink/PlcLink.h"

#include <QByteArray>

#include <functional>
#include <memory>

class EventSink;

// The PLC link of one gateway for the whole of its life. It forwards every call and event to the
// link that the configuration asks for (see PlcLinkFactory), so that a reload of the
// configuration can switch to another kind of link, or to another variable map, while the cycles,
// the records and the handlers go on holding this one.
class PlcLinkHolder : public PlcLink, public PlcLinkRenewal
{
    Q_OBJECT
public:
    // events: see createPlcLink.
    PlcLinkHolder(const QString &configFile, EventSink *events);
    ~PlcLinkHolder() override;

    PlcLink &current() const { return *m_link; }
    // Why the current link cannot be used as configured (its variable map); empty when it can.
    QString problem() const override { return m_problem; }

    // What differs between the link in use and the one the configuration asks for now (another
    // kind, another variable map); empty when they are the same.
    QString pendingChange() const override;
    // Makes the link the configuration asks for now. The caller has released the old one (its
    // handles, then releaseLink); its target properties are the caller's to set again.
    void renew() override;
    // Called with every link made by renew (a window gives it its settings dialog).
    std::function<void(PlcLink &)> onRenewed;

    QString netId() const override { return m_link->netId(); }
    void setNetId(const QString &value) override { m_link->setNetId(value); }
    QString netId2() const override { return m_link->netId2(); }
    void setNetId2(const QString &value) override { m_link->setNetId2(value); }
    QString port() const override { return m_link->port(); }
    void setPort(const QString &value) override { m_link->setPort(value); }
    bool isConnected() const override { return m_link->isConnected(); }
    QString lastFailure() const override { return m_link->lastFailure(); }
    QString targetDescription() const override { return m_link->targetDescription(); }
    qint32 createVarHandle(const QString &name, qint32 &handle) override
    {
        return m_link->createVarHandle(name, handle);
    }
    qint32 deleteVarHandle(qint32 handle) override { return m_link->deleteVarHandle(handle); }
    qint32 connectVar(const QString &name, qint32 &notifyHandle, void *user) override
    {
        return m_link->connectVar(name, notifyHandle, user);
    }
    qint32 disconnectVar(qint32 notifyHandle) override { return m_link->disconnectVar(notifyHandle); }
    qint32 readVarBool(qint32 handle, bool &value) override { return m_link->readVarBool(handle, value); }
    qint32 writeVarBool(qint32 handle, bool value) override { return m_link->writeVarBool(handle, value); }
    qint32 readVarString(qint32 handle, qint32 size, QString &text) override
    {
        return m_link->readVarString(handle, size, text);
    }
    qint32 writeVarString(qint32 handle, const QString &text) override
    {
        return m_link->writeVarString(handle, text);
    }
    qint32 writeVarLong(qint32 handle, qint32 value) override { return m_link->writeVarLong(handle, value); }
    qint32 writeVarInt(qint32 handle, qint16 value) override { return m_link->writeVarInt(handle, value); }
    void exchange(std::span<LinkOp> ops) override { m_link->exchange(ops); }
    qint32 releaseLink() override { return m_link->releaseLink(); }
    qint32 showProperties() override { return m_link->showProperties(); }

private:
    // The variable map file's content, or a null array when there is none.
    QByteArray readMap() const;
    static QString kindText(const QByteArray &map, const QString &mapFile);
    void adopt(std::unique_ptr<PlcLink> link);

    QString m_configFile;
    EventSink *m_events;
    QByteArray m_map;
    QString m_problem;
    std::unique_ptr<PlcLink> m_link;
};
