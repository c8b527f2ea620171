#pragma once

#include "common/Services.h"
#include "platform/ManagerBus.h"

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class DesktopServices;
class GatewayState;
class QDBusMessage;

// What the server manager's commands do to the gateway. The gateway core fills them in; an
// empty one does nothing.
struct ManagerCallbacks {
    // Start: the main window on top of all others (not moved, not activated) and shown,
    // re-asserted, the input focus in the server path field, normal window state; then Timer1 restarted:
    // stopped, interval 0, interval 500 ms, started.
    std::function<void()> serverStart;
    // Stop: the message list dropped, then the normal unload of every window; the program ends.
    // It runs inside the manager's call, so it must not destroy the DbusManagerLink.
    std::function<void()> serverStop;
    // The instance's state for the manager's list (managerStatus of common/InstanceView.h).
    std::function<QVariantMap()> status{};
};

// The object the manager calls by name: Start, Stop and Restart arrive here on the gateway's own
// thread, between its other events. Restart does nothing.
class clsCallBack : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "projKavetta.clsCallBack")
public:
    explicit clsCallBack(ManagerCallbacks callbacks, QObject *parent = nullptr);

    // Stops every further call from reaching the gateway (the link has been dropped).
    void disable() { m_callbacks = {}; }

public slots:
    void serverStart();
    void serverStop();
    void serverRestart();
    // Not one of the commands: the manager asks it to list the instance's state.
    QVariantMap serverStatus();

private:
    ManagerCallbacks m_callbacks;
};

// The link to the server manager over the D-Bus session bus. The manager is there when its bus
// name has an owner; every call to it waits at most callTimeout() milliseconds, on the bus
// connection only (no event loop runs meanwhile). Without a manager the gateway shows its tray
// icon instead.
class DbusManagerLink : public QObject, public ManagerLink
{
    Q_OBJECT
public:
    static constexpr int kDefaultTimeoutMs = 2000;

    DbusManagerLink(const GatewayState &state, DesktopServices &desktop, ManagerCallbacks callbacks,
                    const QDBusConnection &bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);
    ~DbusManagerLink() override;

    // 0: linked (or the link failed after the manager was found, shown as "Error Init SysIcon ");
    // 1: the manager already knows a client of this name; 2: no manager, the tray icon is added.
    int connectManagerLink(const QString &title) override;
    // Removes the tray icon (always), tells the manager, drops the link and the callback object.
    void disconnectManagerLink() override;

    void setCallTimeout(int ms) { m_timeoutMs = ms; }
    int callTimeout() const { return m_timeoutMs; }

    bool linked() const { return !m_manager.isEmpty(); }
    const QString &managerClientName() const { return m_clientName; }
    // What Connect handed back.
    QString callbackPath() const { return m_callbackPath; }
    const managerbus::Parameters &parameters() const { return m_parameters; }
    clsCallBack *callbackObject() const { return m_callback; }

    // "Socket  / " + title.
    static QString clientNameFor(const QString &title);
    // The tray icon's tip: "Socket  / " + title + "  Socket-Server", at most 64 characters.
    static QString trayTip(const QString &title);
    static const QStringList &commandNames();
    static const QStringList &procedureNames();

private:
    // The unique bus name of the manager, or empty when there is none (or no bus).
    QString findManager();
    QDBusMessage callManager(const QDBusMessage &message);
    void addTrayIcon(const QString &title);

    const GatewayState &m_state;
    DesktopServices &m_desktop;
    ManagerCallbacks m_callbacks;
    QDBusConnection m_bus;
    int m_timeoutMs = kDefaultTimeoutMs;

    QString m_manager; // managerLink: the manager's unique bus name while linked
    QString m_clientName;
    QPointer<clsCallBack> m_callback;
    bool m_callbackExported = false;
    QString m_callbackPath;
    managerbus::Parameters m_parameters;
};
