#include "socket/SocketSupervision.h"

#include "common/Clock.h"
#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "plc/KeloLink.h"
#include "socket/SocketEndpoint.h"

namespace
{

const QString crlf = QStringLiteral("\r\n");
// Past this age (seconds) the server role closes and listens anew; fixed, unlike the client's.
constexpr qint64 serverRequestSeconds = 10;
// Requests on the client side start at least this many seconds apart.
constexpr double pacingSeconds = 2.0;

} // namespace

double secondsSinceMidnight()
{
    return currentDateTime().time().msecsSinceStartOfDay() / 1000.0;
}

SocketSupervision::SocketSupervision(GatewayState &state, SocketEndpoint &socket, KeloLink &link,
                                     LogWriter &log)
    : m_state(state), m_socket(socket), m_link(link), m_log(log)
{
}

void SocketSupervision::report(const QString &message, bool forced)
{
    reportStatus(m_state, m_log, message, forced);
}

QString SocketSupervision::stateNumber() const
{
    return QString::number(m_socket.State());
}

qint64 SocketSupervision::requestAge() const
{
    return m_requestStart.isValid() ? m_requestStart.secsTo(currentDateTime()) : 0;
}

void SocketSupervision::tick()
{
    GatewayState &s = m_state;
    if (m_windowStep)
        m_windowStep();

    if (!s.socketErrorText.isEmpty()) {
        if (s.chkStatus != 0)
            s.setLblError(statusLine(QStringLiteral("SocketError: ") + s.socketErrorText));
        s.socketErrorText.clear();
    }

    const int shown = m_socket.State();
    QString label = shown >= 0 && shown <= 9 ? SocketEndpoint::stateText(shown) : s.lblState;

    const int kept = m_socket.State();
    if (const clsComm *record = s.plcRecord(); record && record->hConnect != 0)
        m_link.writeVarInt(record->hConnect, 2, static_cast<qint16>(kept));

    if (!s.sendQueue.isEmpty())
        label += crlf + QStringLiteral(" Pending senddata:") + QString::number(s.sendQueue.size());

    if (s.chkServer != 0)
        serverBranch(label);
    else
        clientBranch(label);

    s.setLblState(label);
    // A failure the steps did not look at does not outlive the tick.
    m_socket.clearError();
}

void SocketSupervision::serverBranch(QString &label)
{
    GatewayState &s = m_state;
    if (s.connAccepted) {
        m_requestStart = QDateTime();
        s.connAccepted = false;
    }
    const int state = m_socket.State();
    const bool accepted = s.chkCon != 0 ? state >= SocketEndpoint::Open && state <= SocketEndpoint::Connected
                                        : state == SocketEndpoint::Listening;
    if (accepted) {
        m_requestStart = QDateTime();
        return;
    }

    m_socket.clearError();
    if (!m_requestStart.isValid())
        m_requestStart = currentDateTime();
    const qint64 age = requestAge();
    label += QStringLiteral(" Request Time:") + QString::number(age);
    if (age > serverRequestSeconds) {
        report(QStringLiteral("Timeout request port: ") + s.socketPort);
        m_socket.Close();
        m_socket.Listen();
        m_requestStart = QDateTime();
        m_socket.clearError();
    }
}

void SocketSupervision::clientBranch(QString &label)
{
    GatewayState &s = m_state;
    if (s.resetRequest) {
        if (s.chkReset != 0 && !s.sendQueue.isEmpty()) {
            s.sendQueue.removeFirst();
            s.counters.dropped(LineCounters::Drop::ResetOnError);
        }
        s.resetRequest = false;
        s.sendDone = false;
        m_requestStart = QDateTime();
        s.lastSendTimer = secondsSinceMidnight();
    }
    if (s.sendDone) {
        if (!s.sendQueue.isEmpty())
            s.sendQueue.removeFirst();
        s.sendDone = false;
        m_requestStart = QDateTime();
        const double now = secondsSinceMidnight();
        if (now > 3)
            s.lastSendTimer = now - 3;
    }

    if (m_socket.State() != SocketEndpoint::Connected && m_connectTry == 0)
        m_connectTry = 1;
    if (m_socket.State() == SocketEndpoint::Connected)
        m_connectTry = 0;
    if (!s.autoConnectOff && s.chkCon != 0 && m_connectTry >= 1) {
        label += crlf + QStringLiteral(" Try to connect: ") + QString::number(m_connectTry);
        switch (m_connectTry) {
        case 1:
            m_socket.Close();
            break;
        case 2:
            if (!s.remoteHost.isEmpty() && !s.socketPort.isEmpty())
                m_socket.Connect(s.remoteHost, s.socketPort);
            break;
        case 20:
            m_connectTry = 0;
            break;
        default:
            break;
        }
        ++m_connectTry;
        return;
    }

    if (s.sendQueue.isEmpty()) {
        m_requestStart = QDateTime();
        return;
    }
    nextRequest(label);
}

void SocketSupervision::nextRequest(QString &label)
{
    GatewayState &s = m_state;
    const QString peer = s.remoteHost + QLatin1Char(':') + s.socketPort;
    const auto connectForRequest = [&] {
        m_requestStart = currentDateTime();
        m_socket.Connect(s.remoteHost, s.socketPort);
        report(QStringLiteral("Connect ") + peer + QStringLiteral("   Sending:") + s.sendQueue.value(0));
        if (m_socket.pendingError().isSet()) {
            report(QStringLiteral("Error connecting ") + peer + crlf + m_socket.pendingError().description);
            m_socket.clearError();
        }
    };
    const auto stateError = [&] {
        report(QStringLiteral("Socket State Error while sending: <") + stateNumber() + QLatin1Char('>'));
        m_socket.Close();
        s.lastSendTimer = secondsSinceMidnight();
    };

    m_socket.clearError();
    if (!m_requestStart.isValid()) {
        if (!s.sendQueue.first().isEmpty()) {
            const double now = secondsSinceMidnight();
            if (s.lastSendTimer == 0)
                s.lastSendTimer = now;
            // Past midnight the clock starts again from 0: the time since then counts as the gap.
            const bool pastMidnight = static_cast<float>(now) < static_cast<float>(s.lastSendTimer);
            const double gap = pastMidnight ? now : now - s.lastSendTimer;
            if (gap < pacingSeconds)
                return;
        }
        if (s.chkCon == 0) {
            if (m_socket.State() != SocketEndpoint::Closed)
                return stateError();
            connectForRequest();
        } else {
            const int state = m_socket.State();
            if (state == SocketEndpoint::Closed)
                return connectForRequest();
            if (state != SocketEndpoint::Connected)
                return stateError();
            if (!s.sendQueue.isEmpty()) {
                const QString text = s.sendQueue.first();
                report(QStringLiteral("Start send ") + text + QLatin1Char('/') + stateNumber());
                m_socket.SendData(text);
                s.lastSendTimer = secondsSinceMidnight();
                if (m_socket.pendingError().isSet()) {
                    s.counters.requestFailed(LineCounters::Failure::Send);
                    report(QStringLiteral("Send error: <") + stateNumber() + QLatin1Char('>') + crlf +
                               m_socket.pendingError().description,
                           true);
                    m_socket.clearError();
                }
            }
        }
    }

    const qint64 age = requestAge();
    label += crlf + QStringLiteral(" Timeout (sec):") + QString::number(age);
    if (age > s.timeoutSec) {
        s.counters.requestFailed(LineCounters::Failure::Timeout);
        report(QStringLiteral("Timeout connecting: ") + peer);
        if (s.chkCon == 0)
            m_socket.Close();
        m_requestStart = QDateTime();
        m_socket.clearError();
        s.lastSendTimer = secondsSinceMidnight();
    }
}
