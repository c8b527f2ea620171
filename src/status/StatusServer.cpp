#include "status/StatusServer.h"

#include "common/GatewayState.h"
#include "common/InstanceView.h"
#include "common/StatusLine.h"
#include "config/InstanceOptions.h"
#include "logging/EventLog.h"
#include "status/StatusReport.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QTcpServer>

namespace
{

QString endpointText(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

QHttpServerResponse answer(const QByteArray &type, const QByteArray &body)
{
    QHttpServerResponse response(type, body);
    // Always the state of now: no cache between the gateway and whoever looks.
    response.setHeader("Cache-Control", "no-store");
    return response;
}

} // namespace

StatusServer::StatusServer(std::function<InstanceView()> view, const StatusOptions &wanted,
                           EventLog &eventLog, GatewayState &state, QObject *parent,
                           const StatusLimits &limits)
    : QObject(parent), m_view(std::move(view)), m_wanted(wanted), m_eventLog(eventLog), m_state(state),
      m_limits(limits)
{
    apply();
}

StatusServer::~StatusServer() = default;

void StatusServer::say(const QString &text, bool warning)
{
    qint16 type = warning ? EventLog::Warning : EventLog::Information;
    m_eventLog.writeAppLogEvent(text, type);
    if (warning)
        m_state.setLblError(statusLine(text));
}

void StatusServer::apply()
{
    const StatusOptions &wanted = m_wanted;
    const bool open = bool(m_server);
    if (open && wanted.enabled() && wanted.port == m_port && wanted.address == m_address)
        return;
    if (open) {
        m_listener = nullptr;
        m_server.reset();
        if (!wanted.enabled())
            say(QStringLiteral("Status endpoint %1 closed").arg(endpointText(m_address, m_port)), false);
    }
    if (!wanted.enabled())
        return;

    auto server = std::make_unique<QHttpServer>();
    const std::function<InstanceView()> &view = m_view;
    using Method = QHttpServerRequest::Method;
    server->route(QStringLiteral("/"), Method::Get, [&view] {
        return answer("text/html; charset=utf-8",
                      page(QJsonDocument(statusJson(view())).toJson(QJsonDocument::Compact)));
    });
    server->route(QStringLiteral("/status"), Method::Get, [&view] {
        return answer("application/json", QJsonDocument(statusJson(view())).toJson(QJsonDocument::Compact));
    });
    const StatusRefusals &refusals = *m_refusals;
    server->route(QStringLiteral("/metrics"), Method::Get, [&view, &refusals] {
        const InstanceView v = view();
        return answer("text/plain; version=0.0.4; charset=utf-8",
                      metricsText(v) + refusalMetricsText(v.module, refusals));
    });

    auto listener = std::make_unique<StatusListener>(m_limits, m_refusals);
    if (!listener->listen(wanted.address, wanted.port)) {
        say(QStringLiteral("Status endpoint: cannot listen on %1 (%2)")
                .arg(endpointText(wanted.address, wanted.port), listener->errorString()),
            true);
        return;
    }
    m_listener = listener.get();
    server->bind(listener.release()); // the HTTP server takes it over
    const bool moved = open;
    m_server = std::move(server);
    m_address = wanted.address;
    m_port = wanted.port;
    if (moved)
        say(QStringLiteral("Status endpoint now at %1").arg(endpointText(m_address, m_port)), false);
}
