#include "socket/SocketEvents.h"

#include "common/Clock.h"
#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "socket/SocketEndpoint.h"

SocketEvents::SocketEvents(GatewayState &state, SocketEndpoint &socket, LogWriter &log,
                           std::function<void()> startResponseCycle, QObject *parent)
    : QObject(parent), m_state(state), m_socket(socket), m_log(log),
      m_startResponseCycle(std::move(startResponseCycle))
{
    connect(&socket, &SocketEndpoint::errorOccurred, this, &SocketEvents::onError);
    connect(&socket, &SocketEndpoint::dataArrival, this, &SocketEvents::onDataArrival);
    connect(&socket, &SocketEndpoint::connected, this, &SocketEvents::onConnected);
    connect(&socket, &SocketEndpoint::connectionRequest, this, &SocketEvents::onConnectionRequest);
    connect(&socket, &SocketEndpoint::peerClosed, this, &SocketEvents::onPeerClosed);
    connect(&socket, &SocketEndpoint::sendComplete, this, &SocketEvents::onSendComplete);
}

void SocketEvents::report(const QString &message, bool forced)
{
    reportStatus(m_state, m_log, message, forced);
}

QString SocketEvents::stateNumber() const
{
    return QString::number(m_socket.State());
}

bool SocketEvents::reportPending(const QString &message, bool forced)
{
    if (!m_socket.pendingError().isSet())
        return false;
    report(message + QLatin1Char('<') + stateNumber() + QStringLiteral(">\r\n") +
               m_socket.pendingError().description,
           forced);
    m_socket.clearError();
    return true;
}

void SocketEvents::onError(int, const QString &description)
{
    GatewayState &s = m_state;
    s.counters.peerError();
    if (s.chkStatus != 0) {
        // The source of every error is the endpoint itself.
        s.socketErrorText = m_socket.objectName() + QStringLiteral("\r\n") + description;
        report(QStringLiteral("Winsock Error  ") + s.socketErrorText);
    }
    m_socket.Close();
    if (s.chkServer == 0)
        s.resetRequest = true;
    s.notify();
}

void SocketEvents::onDataArrival(qint64 bytesTotal)
{
    if (bytesTotal == 0)
        return;
    m_state.receiveQueue.append(m_socket.GetData());
    m_state.counters.answerArrived(m_state.receiveQueue.size());
    if (m_startResponseCycle)
        m_startResponseCycle();
    reportPending(QStringLiteral("Error GetData: "));
}

void SocketEvents::onConnected()
{
    GatewayState &s = m_state;
    if (s.chkServer != 0 || s.sendQueue.isEmpty())
        return;
    const QString text = s.sendQueue.first();
    report(QStringLiteral("Start send ") + text + QLatin1Char('/') + stateNumber());
    m_socket.SendData(text);
    reportPending(QStringLiteral("Send error: "), true);
}

void SocketEvents::onConnectionRequest(int requestId)
{
    GatewayState &s = m_state;
    if (s.chkServer == 0)
        return;
    s.acceptClosing = true;
    if (m_socket.State() != SocketEndpoint::Closed) {
        m_socket.Close();
        reportPending(QStringLiteral("Error Close Port: "));
    }
    s.acceptClosing = false;
    if (m_socket.State() != SocketEndpoint::Closed)
        report(QStringLiteral("Error Port not closed: <") + stateNumber() + QLatin1Char('>'));
    m_socket.Accept(requestId);
    report(QStringLiteral("send request ") + QString::number(requestId));
    s.connAccepted = true;
    reportPending(QStringLiteral("Error Connect Request: "));
}

void SocketEvents::onPeerClosed()
{
    if (m_state.chkServer == 0)
        return;
    report(QStringLiteral("Closed <") + stateNumber() + QLatin1Char('>'));
    m_socket.Close();
    m_socket.Listen();
    reportPending(QStringLiteral("Error Listen: "), true);
}

void SocketEvents::onSendComplete()
{
    GatewayState &s = m_state;
    if (s.chkServer != 0)
        return;
    if (s.chkCon == 0) {
        m_socket.Close();
        report(QStringLiteral("Send Complete => Close after send"));
        reportPending(QStringLiteral("Error Close Port: "));
    }
    QString sent;
    if (!s.sendQueue.isEmpty()) {
        sent = s.sendQueue.first();
        s.counters.requestSent();
        s.lastSendTimer = monotonicMs();
        s.sendDone = true;
    }
    report(QStringLiteral("Data send complete:") + sent);
}
