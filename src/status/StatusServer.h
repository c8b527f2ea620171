#pragma once

#include <QHostAddress>
#include <QObject>

#include <memory>

class GatewayRuntime;
class QHttpServer;

// The instance's local HTTP status endpoint, read-only:
//   GET /         a page that shows the state and refreshes itself every 2 s
//   GET /status   the state as JSON (StatusReport::status)
//   GET /metrics  Prometheus metrics (StatusReport::metrics)
// It listens only while "[status] port" of the instance options is set, on 127.0.0.1 unless
// "[status] address" names another address, and follows both at every reading of the options.
// Requests are served on the gateway's thread between its other events; each answer is built
// from the state as it is at that moment.
class StatusServer : public QObject
{
    Q_OBJECT
public:
    explicit StatusServer(GatewayRuntime &runtime, QObject *parent = nullptr);
    ~StatusServer() override;

    // Listens, moves or closes as the instance options say.
    void apply();
    // The port listened on; 0 while closed.
    quint16 port() const { return m_server ? m_port : 0; }

    // The page with the state it starts from.
    static QByteArray page(const QByteArray &initialStatusJson);

private:
    void say(const QString &text, bool warning);

    GatewayRuntime &m_runtime;
    std::unique_ptr<QHttpServer> m_server;
    QHostAddress m_address;
    quint16 m_port = 0;
};

std::unique_ptr<QObject> createStatusServer(GatewayRuntime &runtime);
