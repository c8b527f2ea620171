#pragma once

#include "status/StatusListener.h"

#include <QHostAddress>
#include <QObject>

#include <functional>
#include <memory>

class EventLog;
class GatewayState;
class QHttpServer;
struct InstanceView;
struct StatusOptions;

// The instance's local HTTP status endpoint, read-only:
//   GET /         a page that shows the state and refreshes itself every 2 s
//   GET /status   the state as JSON (statusJson)
//   GET /metrics  Prometheus metrics (metricsText)
// It listens only while "[status] port" of the instance options is set, on 127.0.0.1 unless
// "[status] address" names another address, and follows both at every reading of the options.
// Requests are served on the gateway's thread between its other events; each answer is built
// from the state as it is at that moment. The endpoint keeps to its limits (StatusListener)
// whatever its clients do, and /metrics counts what it refused.
class StatusServer : public QObject
{
    Q_OBJECT
public:
    // view: the instance as it is now; wanted: the "[status]" options, read at every apply;
    // eventLog and state: where it says that it listens, moved or cannot listen.
    StatusServer(std::function<InstanceView()> view, const StatusOptions &wanted, EventLog &eventLog,
                 GatewayState &state, QObject *parent = nullptr, const StatusLimits &limits = {});
    ~StatusServer() override;

    // Listens, moves or closes as the instance options say.
    void apply();
    // The port listened on; 0 while closed.
    quint16 port() const { return m_server ? m_port : 0; }
    // What the endpoint refused or closed since the instance started.
    const StatusRefusals &refusals() const { return *m_refusals; }
    // Connections open now.
    int connections() const { return m_listener ? m_listener->connections() : 0; }

    // The page with the state it starts from.
    static QByteArray page(const QByteArray &initialStatusJson);

private:
    void say(const QString &text, bool warning);

    std::function<InstanceView()> m_view;
    const StatusOptions &m_wanted;
    EventLog &m_eventLog;
    GatewayState &m_state;
    StatusLimits m_limits;
    std::shared_ptr<StatusRefusals> m_refusals = std::make_shared<StatusRefusals>();
    std::unique_ptr<QHttpServer> m_server;
    StatusListener *m_listener = nullptr; // owned by m_server
    QHostAddress m_address;
    quint16 m_port = 0;
};
