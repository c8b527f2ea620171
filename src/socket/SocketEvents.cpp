#include "socket/SocketEvents.h"

#include "common/Clock.h"
#include "common/Cp1252.h"
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/StatusLine.h"
#include "socket/SocketEndpoint.h"

#include <QStringBuilder>

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
    connect(&socket, &SocketEndpoint::stateChanged, this, &SocketEvents::onStateChanged);
}

void SocketEvents::tellPlc(PeerFailure code, const QString &message)
{
    if (m_failureReport)
        m_failureReport(code, message);
}

void SocketEvents::failure(PeerFailure code, const QString &message)
{
    if (m_failureReport && peerFailuresToPlc(m_state))
        m_log.writeLog(statusLine(message), true);
    tellPlc(code, message);
}

void SocketEvents::report(const QString &message, bool forced)
{
    reportStatus(m_state, m_log, message, forced);
}

QString SocketEvents::stateNumber() const
{
    return QString::number(m_socket.state());
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
    s.lastPeerError = description;
    if (s.settings.statusReport != 0) {
        // The source of every error is the endpoint itself.
        s.socketErrorText = m_socket.objectName() + QStringLiteral("\r\n") + description;
        const QString line = statusLine(QStringLiteral("Winsock Error  ") + s.socketErrorText);
        s.setLblError(line);
        m_log.writePeerError(line, s.settings.statusReport == 1, description);
    }
    // A job the connection failed under, part of it still unsent: the peer has at most a part.
    if (!s.settings.serverRole && s.settings.staticConnection && s.safety.answerTimeoutSec > 0 &&
        m_socket.sendPending() && !s.sendQueue.isEmpty())
        failure(PeerFailure::SendFailed,
                QStringLiteral("Request not sent completely: ") + itemPreview(s.sendQueue.first()));
    m_socket.close();
    if (!s.settings.serverRole)
        s.resetRequest = true;
    s.notify();
}

void SocketEvents::onDataArrival(qint64 bytesTotal)
{
    if (bytesTotal == 0)
        return;
    received(m_socket.getData());
    reportPending(QStringLiteral("Error GetData: "));
}

void SocketEvents::received(const QString &data)
{
    const SafetyOptions &o = m_state.safety;
    if (o.answerFraming == AnswerFraming::Chunk) {
        m_framer.reset();
        answerArrived(data);
        return;
    }
    const QString key = framingName(o.answerFraming) + QLatin1Char(' ') + QString::number(o.answerMaxBytes) +
                        QLatin1Char(' ') + cp1252::decode(o.answerTerminator);
    if (!m_framer || key != m_framerKey) {
        m_framer.emplace(o.answerFraming, cp1252::decode(o.answerTerminator), o.answerMaxBytes);
        m_framerKey = key;
    }
    const AnswerFramer::Result result = m_framer->feed(data);
    // In the order they came: a bad frame stands in for the answer of the request it belongs to.
    qsizetype next = 0;
    for (const AnswerFramer::Problem &problem : result.problems) {
        for (; next < problem.answersBefore; ++next)
            answerArrived(result.answers.at(next));
        badFrame(problem);
    }
    for (; next < result.answers.size(); ++next)
        answerArrived(result.answers.at(next));
    if (m_framer->outOfStep()) {
        // Where the next answer begins is lost with the bad frame; a new connection begins
        // with one.
        m_framer->end();
        report(QStringLiteral("Answers out of step after a bad frame: the connection is closed and "
                              "opened again"),
               true);
        m_socket.close();
        m_socket.clearError();
        if (m_state.settings.serverRole)
            m_socket.listen();
    }
    m_state.answerInProgress = m_framer->inAnswer();
}

void SocketEvents::badFrame(const AnswerFramer::Problem &problem)
{
    GatewayState &s = m_state;
    QString message;
    PeerFailure code;
    if (problem.kind == AnswerFramer::Problem::TooLarge) {
        message = QStringLiteral("Answer too large: %1 bytes, at most %2: dropped")
                      .arg(problem.bytes)
                      .arg(s.safety.answerMaxBytes);
        code = PeerFailure::AnswerTooLarge;
        s.counters.dropped(LineCounters::Drop::AnswerTooLarge);
    } else {
        message = QStringLiteral("Answer without a readable Content-Length header: %1 bytes dropped")
                      .arg(problem.bytes);
        code = PeerFailure::BadFrame;
        s.counters.dropped(LineCounters::Drop::BadFrame);
    }
    report(message, true);
    // The bad frame was the answer of the request that waited for one: that request has its
    // report and waits no longer.
    const bool awaited = !s.settings.serverRole && s.answers.nextAnswerAwaited();
    if (awaited)
        s.answers.answerArrived();
    if (code == PeerFailure::AnswerTooLarge || awaited)
        tellPlc(code, message);
}

void SocketEvents::answerArrived(const QString &answer)
{
    GatewayState &s = m_state;
    if (!s.settings.serverRole) {
        const RequestTracker::Arrival arrival = s.answers.answerArrived();
        if (arrival != RequestTracker::Arrival::Answer && s.safety.dropLateAnswers &&
            s.safety.answerFraming != AnswerFraming::Chunk) {
            s.counters.dropped(LineCounters::Drop::LateAnswer);
            report((arrival == RequestTracker::Arrival::Late
                        ? QStringLiteral("Late answer dropped: ")
                        : QStringLiteral("Answer without a request dropped: ")) +
                       itemPreview(answer),
                   true);
            return;
        }
    }
    s.queueAnswer(answer);
    s.counters.answerArrived(s.receiveQueue.size());
    if (m_startResponseCycle)
        m_startResponseCycle();
}

void SocketEvents::onStateChanged(int state)
{
    if (state == SocketEndpoint::Connected) {
        m_connected = true;
        return;
    }
    if (m_connected && (state == SocketEndpoint::Closed || state == SocketEndpoint::Closing ||
                        state == SocketEndpoint::Error)) {
        m_connected = false;
        connectionEnded();
    }
}

void SocketEvents::connectionEnded()
{
    // An answer still incomplete is never handed over: the PLC would take a fragment for it. One
    // owed to a request already given up has been reported with that request.
    const qint64 partial = m_framer ? m_framer->end() : 0;
    m_state.answerInProgress = false;
    if (partial > 0 && (m_state.settings.serverRole || m_state.answers.nextAnswerAwaited() ||
                        m_state.answers.lateOwed() == 0)) {
        const QString message =
            QStringLiteral("Answer cut short: the connection ended after %1 bytes of it").arg(partial);
        m_state.counters.dropped(LineCounters::Drop::AnswerCutShort);
        report(message, true);
        tellPlc(PeerFailure::AnswerCutShort, message);
    }
    m_state.answers.connectionEnded(partial > 0);
}

void SocketEvents::onConnected()
{
    GatewayState &s = m_state;
    if (s.settings.serverRole || s.sendQueue.isEmpty())
        return;
    const QString text = s.sendQueue.first();
    // Reports that show a whole item are made only where they are shown, and in one piece: an
    // item may be a label of megabytes.
    if (s.settings.statusReport != 0)
        report(QStringLiteral("Start send ") % text % QLatin1Char('/') % stateNumber());
    s.handingOver(QueueJournal::Send);
    m_socket.sendData(text);
    if (reportPending(QStringLiteral("Send error: "), true))
        failure(PeerFailure::SendFailed, QStringLiteral("Request not sent: ") + itemPreview(text));
    else
        s.answers.sent(monotonicMs());
}

void SocketEvents::onConnectionRequest(int requestId)
{
    GatewayState &s = m_state;
    if (!s.settings.serverRole)
        return;
    if (!s.safety.allowedPeers.isEmpty()) {
        const QHostAddress peer = m_socket.requestPeer();
        if (!s.safety.peerAllowed(peer)) {
            // Turned away by the endpoint once this handler returns; the connection in use stays.
            bool v4 = false;
            const quint32 address = peer.toIPv4Address(&v4);
            s.counters.peerRefused();
            m_log.writeLog(statusLine(QStringLiteral("Connection refused: ") +
                                      (v4 ? QHostAddress(address) : peer).toString() +
                                      QStringLiteral(" is not an allowed peer")),
                           true);
            return;
        }
    }
    s.acceptClosing = true;
    if (m_socket.state() != SocketEndpoint::Closed) {
        m_socket.close();
        reportPending(QStringLiteral("Error Close Port: "));
    }
    s.acceptClosing = false;
    if (m_socket.state() != SocketEndpoint::Closed)
        report(QStringLiteral("Error Port not closed: <") + stateNumber() + QLatin1Char('>'));
    m_socket.accept(requestId);
    report(QStringLiteral("send request ") + QString::number(requestId));
    s.connAccepted = true;
    reportPending(QStringLiteral("Error Connect Request: "));
}

void SocketEvents::onPeerClosed()
{
    if (!m_state.settings.serverRole)
        return;
    report(QStringLiteral("Closed <") + stateNumber() + QLatin1Char('>'));
    m_socket.close();
    m_socket.listen();
    reportPending(QStringLiteral("Error Listen: "), true);
}

void SocketEvents::onSendComplete()
{
    GatewayState &s = m_state;
    if (s.settings.serverRole)
        return;
    if (!s.settings.staticConnection && s.safety.answerTimeoutSec > 0) {
        // The connection of this request stays until its answer is whole or its time is up.
        report(QStringLiteral("Send Complete => Open for the answer"));
    } else if (!s.settings.staticConnection) {
        m_socket.close();
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
    if (s.settings.statusReport != 0)
        report(QStringLiteral("Data send complete:") % sent);
}
