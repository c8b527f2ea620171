#include "status/StatusServer.h"

#include "common/StatusLine.h"
#include "core/GatewayRuntime.h"

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

StatusServer::StatusServer(GatewayRuntime &runtime, QObject *parent) : QObject(parent), m_runtime(runtime)
{
    m_runtime.onOptionsRead = [this] { apply(); };
    apply();
}

StatusServer::~StatusServer()
{
    m_runtime.onOptionsRead = {};
}

void StatusServer::say(const QString &text, bool warning)
{
    qint16 type = warning ? EventLog::Warning : EventLog::Information;
    m_runtime.eventLog.writeAppLogEvent(text, type);
    if (warning)
        m_runtime.state.setLblError(statusLine(text));
}

void StatusServer::apply()
{
    const StatusOptions &wanted = m_runtime.instanceOptions.status;
    const bool open = bool(m_server);
    if (open && wanted.enabled() && wanted.port == m_port && wanted.address == m_address)
        return;
    if (open) {
        m_server.reset();
        if (!wanted.enabled())
            say(QStringLiteral("Status endpoint %1 closed").arg(endpointText(m_address, m_port)), false);
    }
    if (!wanted.enabled())
        return;

    auto server = std::make_unique<QHttpServer>();
    const StatusReport &report = m_runtime.statusReport;
    using Method = QHttpServerRequest::Method;
    server->route(QStringLiteral("/"), Method::Get, [&report] {
        return answer("text/html; charset=utf-8",
                      page(QJsonDocument(report.status()).toJson(QJsonDocument::Compact)));
    });
    server->route(QStringLiteral("/status"), Method::Get, [&report] {
        return answer("application/json", QJsonDocument(report.status()).toJson(QJsonDocument::Compact));
    });
    server->route(QStringLiteral("/metrics"), Method::Get,
                  [&report] { return answer("text/plain; version=0.0.4; charset=utf-8", report.metrics()); });

    if (server->listen(wanted.address, wanted.port) == 0) {
        // The HTTP server keeps no failed listener to ask why; a plain one on the same address says.
        QTcpServer probe;
        const QString why =
            probe.listen(wanted.address, wanted.port) ? QStringLiteral("refused") : probe.errorString();
        say(QStringLiteral("Status endpoint: cannot listen on %1 (%2)")
                .arg(endpointText(wanted.address, wanted.port), why),
            true);
        return;
    }
    const bool moved = open;
    m_server = std::move(server);
    m_address = wanted.address;
    m_port = wanted.port;
    if (moved)
        say(QStringLiteral("Status endpoint now at %1").arg(endpointText(m_address, m_port)), false);
}

std::unique_ptr<QObject> createStatusServer(GatewayRuntime &runtime)
{
    return std::make_unique<StatusServer>(runtime);
}
