#pragma once

#include "core/CoreParts.h"

#include <QObject>
#include <QStringList>

#include <memory>

class GatewayState;
class QTimer;
class SocketEvents;
class SocketSupervision;

// One gateway instance without its window: it owns the supervision and response timers and the
// socket event handlers, runs the load and unload order and carries out the operator's
// commands. A window, when there is one, shows and edits the state and forwards its commands;
// the gateway does its whole job without one.
class GatewayCore : public QObject
{
    Q_OBJECT
public:
    static constexpr int supervisionIntervalMs = 500;
    static constexpr int responseIntervalMs = 1;

    GatewayCore(GatewayState &state, const CoreParts &parts, QObject *parent = nullptr);
    ~GatewayCore() override;

    GatewayState &state() { return m_state; }
    const CoreParts &parts() const { return m_parts; }
    void setWindow(GatewayWindow *window) { m_window = window; }

    // The load handler. Afterwards the gateway runs, or the program has ended (programEnded()),
    // when another instance of this module is running.
    void load();
    // The unload handler; runs once, whoever asks first (Exit, close, the server manager, a
    // signal).
    void unload();
    bool isLoaded() const { return m_loaded; }
    bool programEnded() const { return m_unloaded; }
    // The result of the server-manager link at load (ManagerLink::Result).
    int managerResult() const { return m_managerResult; }

    // The operator's commands.
    void connectSocket();
    void closeSocket();
    void sendData();
    // Load, and once the gateway runs (a reload: the window's Load, SIGHUP), apply what the
    // file changed: a new PLC target, module name or kind of link releases the PLC handles and
    // the link and connects anew; a new peer or role closes the connection (or listens anew).
    // One log record says what changed; an unchanged file changes nothing.
    void loadConfiguration();
    void saveConfiguration();
    void saveAs();
    void reconnectPlc();
    void showLinkProperties();
    // The server manager's start: the window shown on top (where there is one), then the
    // supervision timer started anew with its interval.
    void serverStart();

    QTimer *supervisionTimer() const { return m_timer1; }
    QTimer *responseTimer() const { return m_timer2; }
    SocketSupervision &supervision() { return *m_supervision; }

    // Timer2 runs until the receive queue is empty: its first tick as soon as the thread is free,
    // then every responseIntervalMs while an answer waits for the PLC to take the last one.
    void startResponseCycle();

signals:
    void loadFinished();
    void unloaded();

private:
    void supervisionTick();
    void responseTick();
    void windowStep();
    void setLinkTarget();
    void applyReload(const QStringList &before);

    GatewayState &m_state;
    CoreParts m_parts;
    GatewayWindow *m_window = nullptr;
    std::unique_ptr<SocketSupervision> m_supervision;
    SocketEvents *m_events = nullptr;
    QTimer *m_timer1 = nullptr;
    QTimer *m_timer2 = nullptr;
    int m_managerResult = -1;
    bool m_loaded = false;
    bool m_unloaded = false;
};
