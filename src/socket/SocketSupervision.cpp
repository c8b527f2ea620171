#include "socket/SocketSupervision.h"

#include "common/Clock.h"
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/RequestTracker.h"
#include "common/StatusLine.h"
#include "socket/SocketEndpoint.h"

#include <QStringBuilder>

namespace
{

const QString crlf = QStringLiteral("\r\n");
// Past this age (seconds) the server role closes and listens anew; fixed, unlike the client's.
constexpr qint64 serverRequestSeconds = 10;
// Requests on the client side start at least this many milliseconds apart.
constexpr qint64 pacingMs = 2000;
// A completed send moves the spacing back by this much, so the next request may start at once.
constexpr qint64 afterSendMs = 3000;

} // namespace

SocketSupervision::SocketSupervision(GatewayState &state, SocketEndpoint &socket, LogWriter &log)
    : m_state(state), m_socket(socket), m_log(log)
{
}

void SocketSupervision::tellPlc(PeerFailure code, const QString &message)
{
    if (m_failureReport)
        m_failureReport(code, message);
}

void SocketSupervision::failure(PeerFailure code, const QString &message)
{
    if (m_failureReport && peerFailuresToPlc(m_state))
        m_log.writeLog(statusLine(message), true);
    tellPlc(code, message);
}

void SocketSupervision::writeDrop(const QString &message)
{
    m_log.writeDrop(statusLine(message));
}

void SocketSupervision::report(const QString &message, bool forced)
{
    reportStatus(m_state, m_log, message, forced);
}

QString SocketSupervision::stateNumber() const
{
    return QString::number(m_socket.state());
}

qint64 SocketSupervision::requestAge() const
{
    return m_requestStart ? (monotonicMs() - *m_requestStart) / 1000 : 0;
}

void SocketSupervision::tick()
{
    GatewayState &s = m_state;
    if (m_windowStep)
        m_windowStep();

    if (!s.socketErrorText.isEmpty()) {
        if (s.settings.statusReport != 0)
            s.setLblError(statusLine(QStringLiteral("SocketError: ") + s.socketErrorText));
        s.socketErrorText.clear();
    }

    const int shown = m_socket.state();
    QString label = shown >= 0 && shown <= 9 ? SocketEndpoint::stateText(shown) : s.lblState;

    if (m_stateReport)
        m_stateReport(m_socket.state());

    if (!s.sendQueue.isEmpty())
        label += crlf + QStringLiteral(" Pending senddata:") + QString::number(s.sendQueue.size());

    if (s.settings.serverRole)
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
        m_requestStart.reset();
        s.connAccepted = false;
    }
    const int state = m_socket.state();
    const bool accepted = s.settings.staticConnection
                              ? state >= SocketEndpoint::Open && state <= SocketEndpoint::Connected
                              : state == SocketEndpoint::Listening;
    if (accepted) {
        m_requestStart.reset();
        return;
    }

    m_socket.clearError();
    if (!m_requestStart)
        m_requestStart = monotonicMs();
    const qint64 age = requestAge();
    label += QStringLiteral(" Request Time:") + QString::number(age);
    if (age > serverRequestSeconds) {
        report(QStringLiteral("Timeout request port: ") + s.settings.remotePort);
        m_socket.close();
        m_socket.listen();
        m_requestStart.reset();
        m_socket.clearError();
    }
}

void SocketSupervision::watchSend()
{
    if (!m_state.settings.staticConnection || !m_socket.sendPending()) {
        m_sendProgress.reset();
        return;
    }
    const qint64 unsent = m_socket.bytesToSend();
    const qint64 now = monotonicMs();
    if (!m_sendProgress || unsent < m_sendProgress->unsent) {
        m_sendProgress = SendProgress{unsent, now};
        return;
    }
    if ((now - m_sendProgress->since) / 1000 <= m_state.settings.timeoutSeconds)
        return;
    // The same end as an endpoint error: closed now, the request ended by the next step.
    m_sendProgress.reset();
    m_state.counters.requestFailed(LineCounters::Failure::Timeout);
    report(QStringLiteral("Timeout sending: ") + m_state.settings.remoteHost + QLatin1Char(':') +
           m_state.settings.remotePort);
    m_socket.close();
    m_state.resetRequest = true;
    if (!m_state.sendQueue.isEmpty())
        failure(PeerFailure::SendFailed, QStringLiteral("Request not sent completely (no progress): ") +
                                             itemPreview(m_state.sendQueue.first()));
}

bool SocketSupervision::awaitAnswer()
{
    if (!m_awaitingAnswer)
        return false;
    GatewayState &s = m_state;
    const RequestTracker &t = s.answers;
    const RequestTracker::Ticket &sent = t.lastSent();
    if (t.answered(sent)) {
        // Answered: it leaves the queue as a completed send does without an answer to wait for;
        // a connection made for it has served.
        m_awaitingAnswer = false;
        if (!s.settings.staticConnection) {
            m_socket.close();
            m_socket.clearError();
        }
        s.dropFirstSend();
        s.lastSendTimer = monotonicMs() - afterSendMs;
        return false;
    }
    if (t.connectionEnds() > sent.endsBefore) {
        endAtConnectionEnd();
        return false;
    }
    if (monotonicMs() - sent.sentAtMs > qint64(s.safety.answerTimeoutSec) * 1000) {
        s.answers.giveUp();
        const QString message = QStringLiteral("No answer within %1 s: ").arg(s.safety.answerTimeoutSec) +
                                itemPreview(s.sendQueue.value(0));
        s.setLblError(statusLine(message));
        endAwaited(message, true);
        // Two answers owed that will come late, or one of them in the middle of coming: the
        // stream is out of step with the requests.
        if (s.answers.lateOwed() > 1 || s.answerInProgress || !s.settings.staticConnection) {
            m_socket.close();
            m_socket.clearError();
        }
        return false;
    }
    return true;
}

bool SocketSupervision::answerAwaited() const
{
    const GatewayState &s = m_state;
    return s.safety.answerTimeoutSec > 0 && !s.sendQueue.isEmpty() &&
           !s.answers.answered(s.answers.lastSent());
}

void SocketSupervision::endAtConnectionEnd()
{
    // A cut-short answer has been reported to the PLC as such when the connection ended.
    const QString item = itemPreview(m_state.sendQueue.value(0));
    if (m_state.answers.lastEndCutShort())
        endAwaited(QStringLiteral("No answer: the answer was cut short: ") + item, false);
    else
        endAwaited(QStringLiteral("No answer: the connection ended first: ") + item, true);
}

void SocketSupervision::endAwaited(const QString &message, bool toPlc)
{
    GatewayState &s = m_state;
    m_awaitingAnswer = false;
    s.counters.requestFailed(LineCounters::Failure::NoAnswer);
    writeDrop(message);
    if (toPlc)
        tellPlc(PeerFailure::NoAnswer, message);
    s.dropFirstSend();
    s.lastSendTimer = monotonicMs();
}

void SocketSupervision::clientBranch(QString &label)
{
    GatewayState &s = m_state;
    watchSend();
    // An item waiting for its answer has gone out whole: an error now ends it (awaitAnswer) and
    // must not drop the item behind it.
    const bool awaited = m_awaitingAnswer;
    const bool stillAwaited = awaitAnswer();
    if (s.resetRequest && s.sendDone && !awaited && answerAwaited()) {
        // Sent whole, and the connection failed before the tick saw it: the job is not sent
        // again (the peer has it), its answer will not come.
        s.resetRequest = false;
        s.sendDone = false;
        m_requestStart.reset();
        endAtConnectionEnd();
    }
    if (s.resetRequest) {
        if (s.settings.dropRequestOnError && !s.sendQueue.isEmpty() && !awaited) {
            const QString item = s.sendQueue.first();
            s.dropFirstSend();
            s.counters.dropped(LineCounters::Drop::ResetOnError);
            const QString message = QStringLiteral("Request dropped after a socket error (") +
                                    s.lastPeerError + QStringLiteral("): ") + itemPreview(item);
            writeDrop(message);
            tellPlc(PeerFailure::Dropped, message);
        }
        s.resetRequest = false;
        s.sendDone = false;
        m_requestStart.reset();
        s.lastSendTimer = monotonicMs();
    }
    if (s.sendDone) {
        s.sendDone = false;
        m_requestStart.reset();
        if (stillAwaited) {
            // Sent whole; the answer decides when it leaves.
        } else if (answerAwaited() && s.answers.lastSent().endsBefore == s.answers.connectionEnds()) {
            m_awaitingAnswer = true;
        } else if (answerAwaited()) {
            // The connection ended between the send and this tick.
            endAtConnectionEnd();
        } else {
            s.dropFirstSend();
            s.lastSendTimer = monotonicMs() - afterSendMs;
        }
    }

    // With framed answers a connection that came up and ended again between two ticks (closed
    // to get the answers back in step) is opened again at once, not after the rest of the round.
    const quint64 ends = s.answers.connectionEnds();
    if (std::exchange(m_connectionEnds, ends) != ends && m_connectTry > 2 &&
        s.safety.answerFraming != AnswerFraming::Chunk)
        m_connectTry = 1;
    if (m_socket.state() != SocketEndpoint::Connected && m_connectTry == 0)
        m_connectTry = 1;
    if (m_socket.state() == SocketEndpoint::Connected)
        m_connectTry = 0;
    if (!s.settings.autoConnectOff && s.settings.staticConnection && m_connectTry >= 1) {
        label += crlf + QStringLiteral(" Try to connect: ") + QString::number(m_connectTry);
        switch (m_connectTry) {
        case 1:
            // Closed already (just now, say): closing again would swallow the news of that end.
            if (m_socket.state() != SocketEndpoint::Closed)
                m_socket.close();
            break;
        case 2:
            if (!s.settings.remoteHost.isEmpty() && !s.settings.remotePort.isEmpty())
                m_socket.connectToPeer(s.settings.remoteHost, s.settings.remotePort);
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
        m_requestStart.reset();
        return;
    }
    if (m_awaitingAnswer) {
        label += crlf + QStringLiteral(" Waiting for the answer (sec):") +
                 QString::number((monotonicMs() - s.answers.lastSent().sentAtMs) / 1000);
        return;
    }
    nextRequest(label);
}

void SocketSupervision::nextRequest(QString &label)
{
    GatewayState &s = m_state;
    const QString peer = s.settings.remoteHost + QLatin1Char(':') + s.settings.remotePort;
    const auto connectForRequest = [&] {
        m_requestStart = monotonicMs();
        m_socket.connectToPeer(s.settings.remoteHost, s.settings.remotePort);
        // Reports that show a whole item are made only where they are shown, and in one piece: an
        // item may be a label of megabytes.
        if (s.settings.statusReport != 0)
            report(QStringLiteral("Connect ") % peer % QStringLiteral("   Sending:") % s.sendQueue.value(0));
        if (m_socket.pendingError().isSet()) {
            report(QStringLiteral("Error connecting ") + peer + crlf + m_socket.pendingError().description);
            m_socket.clearError();
        }
    };
    const auto stateError = [&] {
        report(QStringLiteral("Socket State Error while sending: <") + stateNumber() + QLatin1Char('>'));
        m_socket.close();
        s.lastSendTimer = monotonicMs();
    };

    m_socket.clearError();
    if (!m_requestStart) {
        if (!s.sendQueue.first().isEmpty()) {
            const qint64 now = monotonicMs();
            if (s.lastSendTimer == 0)
                s.lastSendTimer = now;
            if (now - s.lastSendTimer < pacingMs)
                return;
        }
        if (!s.settings.staticConnection) {
            if (m_socket.state() != SocketEndpoint::Closed)
                return stateError();
            connectForRequest();
        } else {
            const int state = m_socket.state();
            if (state == SocketEndpoint::Closed)
                return connectForRequest();
            if (state != SocketEndpoint::Connected)
                return stateError();
            // Still on its way out (from an earlier tick or the connect event): never twice.
            if (!s.sendQueue.isEmpty() && !m_socket.sendPending()) {
                const QString text = s.sendQueue.first();
                if (s.settings.statusReport != 0)
                    report(QStringLiteral("Start send ") % text % QLatin1Char('/') % stateNumber());
                s.handingOver(QueueJournal::Send);
                m_socket.sendData(text);
                s.lastSendTimer = monotonicMs();
                if (m_socket.pendingError().isSet()) {
                    s.counters.requestFailed(LineCounters::Failure::Send);
                    report(QStringLiteral("Send error: <") + stateNumber() + QLatin1Char('>') + crlf +
                               m_socket.pendingError().description,
                           true);
                    m_socket.clearError();
                    failure(PeerFailure::SendFailed,
                            QStringLiteral("Request not sent: ") + itemPreview(text));
                } else {
                    s.answers.sent(monotonicMs());
                }
            }
        }
    }

    const qint64 age = requestAge();
    label += crlf + QStringLiteral(" Timeout (sec):") + QString::number(age);
    if (age > s.settings.timeoutSeconds) {
        s.counters.requestFailed(LineCounters::Failure::Timeout);
        report(QStringLiteral("Timeout connecting: ") + peer);
        failure(PeerFailure::RequestTimeout, QStringLiteral("Request timed out (") + peer +
                                                 QStringLiteral("), tried again: ") +
                                                 itemPreview(s.sendQueue.value(0)));
        if (!s.settings.staticConnection)
            m_socket.close();
        m_requestStart.reset();
        m_socket.clearError();
        s.lastSendTimer = monotonicMs();
    }
}
