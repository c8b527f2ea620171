#include "plc/PlcCycles.h"

#include "common/Clock.h"
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/PeerFailure.h"
#include "common/StatusLine.h"
#include "labels/LabelCommands.h"
#include "plclink/PlcLink.h"
#include "socket/SocketEndpoint.h"
#include "socket/Utf8Wire.h"

#include <exception>
#include <limits>
#include <utility>

namespace
{

// The PLC's send data is read with this length into a buffer of BufferLength characters.
constexpr qint32 SendDataLength = 2000;
constexpr int BufferLength = 2100;
// Answers later than this after the last request start are shown with the elapsed time -1.
constexpr qint32 AnswerWindowMs = 10000;
// Number and description of the failure of an elapsed time beyond the 32-bit range.
constexpr int OverflowNumber = 6;
const char *const OverflowText = "Overflow";

QString decimal(qint32 code)
{
    return QString::number(code);
}

// The send data inside the read buffer: up to the first NUL, without the blanks around it
// (only the space character counts as blank).
QString sendDataOf(const QString &buffer)
{
    const qsizetype nul = buffer.indexOf(QChar(0));
    const QStringView view = QStringView(buffer).left(nul < 0 ? buffer.size() : nul);
    qsizetype begin = 0, end = view.size();
    while (begin < end && view[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && view[end - 1] == QLatin1Char(' '))
        --end;
    return view.mid(begin, end - begin).toString();
}

} // namespace

std::optional<qint32> elapsedMs(quint32 startTick, quint32 nowTick)
{
    const qint64 difference = qint64(qint32(nowTick)) - qint64(qint32(startTick));
    if (difference < std::numeric_limits<qint32>::min() || difference > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(difference);
}

std::optional<qint32> elapsedMs(quint32 startTick)
{
    return elapsedMs(startTick, tickCount());
}

PlcCycles::PlcCycles(GatewayState &state, PlcLink &link, SocketEndpoint &socket, LogWriter &log,
                     QObject *parent)
    : QObject(parent), m_state(state), m_link(link), m_socket(socket), m_log(log)
{
    connect(&m_link, &PlcLink::connectUpdate, this, &PlcCycles::onConnectUpdate);
    connect(&m_link, &PlcLink::stateChanged, this, &PlcCycles::onStateChanged);
}

PlcCycles::~PlcCycles()
{
    // The records call the link when they go; the state may outlive the link. (This class's own:
    // no override would run from a destructor.)
    PlcCycles::terminateAll();
}

void PlcCycles::setError(const QString &message)
{
    m_state.setLblError(statusLine(message));
}

// --- connection ------------------------------------------------------------------------------

void PlcCycles::terminateAll()
{
    // The record releases its handles as it goes.
    m_record.reset();
}

void PlcCycles::connectPlc()
{
    // The old record releases its handles first.
    m_record.reset();

    if (m_state.settings.serverRole) {
        // The server role does not use the PLC: nothing is queued for it either.
        m_state.clearSend();
        return;
    }
    if (!m_state.settings.staticConnection) {
        m_socket.close();
        m_socket.clearError();
    }

    m_record = std::make_unique<PlcRecord>(&m_link);
    PlcRecord &rec = *m_record;
    rec.anfordVar = m_state.settings.moduleName + QStringLiteral(".anford");

    const struct {
        QString name;
        qint32 PlcRecord::*field;
    } handles[] = {
        {m_state.settings.moduleName + QStringLiteral(".SendData"), &PlcRecord::hProdData},
        {m_state.settings.moduleName + QStringLiteral(".ConnectStatus"), &PlcRecord::hConnect},
        {m_state.settings.moduleName + QStringLiteral(".RecData"), &PlcRecord::hProdRecData},
        {m_state.settings.moduleName + QStringLiteral(".antwort"), &PlcRecord::hAnfordRecVar},
        {m_state.settings.moduleName + QStringLiteral(".anfordErr"), &PlcRecord::hAnfordErr},
        {m_state.settings.moduleName + QStringLiteral(".anfordErrText"), &PlcRecord::hAnfordErrText},
        {rec.anfordVar, &PlcRecord::hAnfordVar},
    };
    bool failed = false;
    for (const auto &[name, field] : handles) {
        qint32 handle = 0;
        const qint32 code = m_link.createVarHandle(name, handle);
        if (code != 0) {
            // The field stays 0: a refused handle never stands in a record.
            setError(QStringLiteral("Create VarHandle: ") + name + decimal(code));
            failed = true;
            break;
        }
        rec.*field = handle;
    }
    if (!failed) {
        qint32 notify = 0;
        const qint32 code = m_link.connectVar(rec.anfordVar, notify, &rec);
        if (code == 0) {
            rec.hConnectAnfordVar = notify;
            return;
        }
        setError(QStringLiteral("Connect: ") + rec.anfordVar + decimal(code));
    }
    m_log.writeLog(m_state.lblError, false);
}

void PlcCycles::onConnectUpdate(qint32 notifyHandle, const QVariant &value, void *user)
{
    Q_UNUSED(notifyHandle);
    if (value.typeId() != QMetaType::Bool || !value.toBool())
        return;
    // Only the current record serves requests: a notification of a record that a reconnect has
    // already replaced must not reach a record that no longer exists.
    PlcRecord *record = plcRecord();
    if (!record || user != record)
        return;
    readProd(record);
}

void PlcCycles::onStateChanged(qint32 state, qint32 other)
{
    Q_UNUSED(other);
    if (state == 5)
        connectPlc();
}

void PlcCycles::showSocketState(int state)
{
    if (const PlcRecord *record = plcRecord(); record && record->hConnect != 0)
        m_link.writeVarInt(record->hConnect, static_cast<qint16>(state));
}

void PlcCycles::reportPeerFailure(PeerFailure code, const QString &message)
{
    // The PLC's part only: the path that failed has written the event's log record.
    if (!peerFailuresToPlc(m_state))
        return;
    setError(message);
    m_state.counters.reportedToPlc(int(code) - int(PeerFailure::Dropped));
    const PlcRecord *record = plcRecord();
    if (!record)
        return;
    if (record->hAnfordErr != 0)
        m_link.writeVarLong(record->hAnfordErr, qint32(code));
    if (record->hAnfordErrText != 0)
        m_link.writeVarString(record->hAnfordErrText, m_state.lblError);
}

// --- request cycle ---------------------------------------------------------------------------

void PlcCycles::requestFailure(int number, const QString &description)
{
    if (number != 0)
        setError(QStringLiteral("ConnectUpdateEx !") + description);
}

void PlcCycles::readProd(PlcRecord *record)
{
    if (!record)
        return;
    bool flag = false;
    const qint32 readCode = m_link.readVarBool(record->hAnfordVar, flag);
    if (readCode != 0)
        setError(QStringLiteral("ReadVar:anfordPROD !") + decimal(readCode));
    if (readCode != 0 || !flag)
        return;
    m_state.counters.requestTaken();

    m_state.requestTick = tickCount();
    QString logText;
    QString buffer(BufferLength, QLatin1Char(' '));
    QString sendData;
    qint32 commandResult = 0;

    QString text;
    const qint32 sendDataCode = m_link.readVarString(record->hProdData, SendDataLength, text);
    buffer.replace(0, qMin<qsizetype>(text.size(), BufferLength), text.left(BufferLength));

    // maxQueuedItems: a request that would queue one item more than that is refused.
    const auto queueFull = [&] {
        const bool queues = !sendData.isEmpty() && (!sendData.startsWith(QLatin1Char('/')) ||
                                                    sendData.startsWith(QLatin1String("/SetLabel")) ||
                                                    sendData.startsWith(QLatin1String("/SetJob")));
        const int bound = m_state.safety.maxQueuedItems;
        return queues && bound > 0 && m_state.sendQueue.size() >= bound;
    };
    bool refused = false;

    if (sendDataCode == 0) {
        sendData = sendDataOf(buffer);
        logText = QStringLiteral(" Send Data:") + sendData;
        if (queueFull()) {
            refused = true;
        } else if (sendData.startsWith(QLatin1Char('/'))) {
            // Commands compare with exact case; any other text after "/" is ignored.
            if (sendData == QLatin1String("/Close")) {
                m_socket.close();
                if (m_socket.pendingError().isSet()) {
                    requestFailure(m_socket.pendingError().number, m_socket.pendingError().description);
                    m_socket.clearError();
                }
            } else if (sendData.startsWith(QLatin1String("/SetLabel"))) {
                try {
                    commandResult = m_labels ? m_labels->setLabelContent(sendData) : 0;
                } catch (const std::exception &e) {
                    requestFailure(1, QString::fromLocal8Bit(e.what()));
                }
            }
            if (sendData.startsWith(QLatin1String("/SetJob"))) {
                try {
                    commandResult = m_labels ? m_labels->setJob(sendData) : 0;
                } catch (const std::exception &e) {
                    requestFailure(1, QString::fromLocal8Bit(e.what()));
                }
            }
        } else if (!sendData.isEmpty()) {
            m_state.queueSend(m_state.settings.sendUtf8 ? encodeUTF8(sendData) : sendData);
        }
    }

    // A failed request leaves its code and the caption for the PLC; a later success keeps them.
    const auto reportToPlc = [&](qint32 code, LineCounters::Failure reason = LineCounters::Failure::Request) {
        m_state.counters.requestFailed(reason);
        m_link.writeVarLong(record->hAnfordErr, code);
        m_link.writeVarString(record->hAnfordErrText, m_state.lblError);
        m_log.writeLog(m_state.lblError, false);
    };
    if (sendDataCode != 0) {
        setError(QStringLiteral("Error Read Senddata !") + decimal(sendDataCode));
        reportToPlc(sendDataCode);
    }
    if (commandResult != 0) {
        // A command that put its own text into the label keeps it (and so does any older text).
        if (m_state.lblError.isEmpty())
            setError(QStringLiteral("Error Scan Senddata !") + decimal(commandResult));
        reportToPlc(commandResult);
    }
    if (refused) {
        setError(QStringLiteral("Request refused: %1 requests wait to be sent (maxQueuedItems): ")
                     .arg(m_state.sendQueue.size()) +
                 itemPreview(sendData));
        reportToPlc(qint32(PeerFailure::QueueFull), LineCounters::Failure::QueueFull);
        m_state.counters.reportedToPlc(int(PeerFailure::QueueFull) - int(PeerFailure::Dropped));
    }

    const qint32 resetCode = m_link.writeVarBool(record->hAnfordVar, false);
    if (resetCode != 0)
        setError(QStringLiteral("WriteVar: anfordSendData !") + decimal(resetCode));

    if (logText.isEmpty())
        logText = QStringLiteral("Error : ") + m_state.lblError;

    const std::optional<qint32> elapsed = elapsedMs(m_state.requestTick);
    if (!elapsed)
        requestFailure(OverflowNumber, QLatin1String(OverflowText));
    // An elapsed time that cannot be given is logged as -1, as the response cycle shows
    // answers it cannot time.
    m_log.writeLog(statusLine(QStringLiteral(" (") + QString::number(elapsed.value_or(-1)) +
                              QStringLiteral(" msec) ") + logText),
                   true);
}

// --- response cycle --------------------------------------------------------------------------

void PlcCycles::responseTick()
{
    QStringList &queue = m_state.receiveQueue;
    if (queue.isEmpty())
        return;

    if (m_state.settings.serverRole) {
        const QString item = queue.first();
        m_state.dropFirstAnswer();
        if (!item.isEmpty() && m_state.settings.statusReport != 0) {
            setError(QStringLiteral("SocketData received: ") + item);
            m_log.writeLog(m_state.lblError, m_state.settings.statusReport == 1);
        }
        return;
    }

    const QString text = queue.first();
    if (text.isEmpty()) {
        m_state.dropFirstAnswer();
        return;
    }

    qint32 elapsed = elapsedMs(m_state.requestTick).value_or(-1);
    if (elapsed > AnswerWindowMs)
        elapsed = -1;

    const PlcRecord *record = plcRecord();
    if (!record || record->hProdRecData == 0 || record->hAnfordRecVar == 0) {
        // Nobody on the PLC side can take it: show it, log it, and do not let the queue grow.
        setError(QStringLiteral("SocketData received: ") + text);
        m_log.writeLog(m_state.lblError, false);
        m_state.dropFirstAnswer();
        m_state.counters.dropped(LineCounters::Drop::NoPlcSide);
        m_log.writeDrop(
            statusLine(QStringLiteral("Answer dropped, no PLC variables take it: ") + itemPreview(text)));
        return;
    }

    // The socket state, the look at the answer flag and, only when the flag is free, the answer
    // and the flag, applied by the PLC side in that order. The state's code is not used, as in
    // showSocketState. Preset to true: a read that fails in any way never leads to a write.
    LinkOp ops[4] = {LinkOp::writeInt(record->hConnect, static_cast<qint16>(m_socket.state())),
                     LinkOp::readBool(record->hAnfordRecVar, true),
                     LinkOp::writeString(record->hProdRecData, text),
                     LinkOp::writeBool(record->hAnfordRecVar, true)};
    const std::span<LinkOp> all = record->hConnect != 0 ? std::span(ops) : std::span(ops).last(3);
    const size_t lookAt = all.size() - 3;
    const LinkOp &look = all[lookAt];
    const std::span<LinkOp> handOver = all.last(2);
    if (!m_answerWaits) {
        // A fresh answer: one exchange, the answer and the flag written on the condition that
        // the flag was free. It is marked as going out first, and the mark taken back when it
        // did not.
        m_state.handingOver(QueueJournal::Receive);
        for (LinkOp &op : handOver)
            op.onlyIfReadFalse(qsizetype(lookAt));
        m_link.exchange(all);
    } else {
        // An answer that found the flag set: looks alone until it is free, so that waiting
        // costs no journal write.
        m_link.exchange(all.first(lookAt + 1));
        if (look.code == 0 && !look.flag) {
            m_state.handingOver(QueueJournal::Receive);
            m_link.exchange(handOver);
        }
    }
    const bool answerPending = look.flag;
    const qint32 readCode = look.code;
    if (readCode != 0)
        setError(QStringLiteral("ReadVar: antwort !") + decimal(readCode));
    if (readCode != 0 || answerPending) {
        if (!std::exchange(m_answerWaits, true))
            m_state.handOverWithdrawn(QueueJournal::Receive);
        return;
    }
    m_answerWaits = false;

    const qint32 dataCode = handOver[0].code;
    if (dataCode != 0) {
        setError(QStringLiteral("WriteVar: RecData !") + decimal(dataCode));
        // The next status line takes the label's place at once: the log keeps what happened.
        m_log.writeLog(m_state.lblError + QStringLiteral(" (answer of %1 characters)").arg(text.size()),
                       true);
        m_state.counters.requestFailed(LineCounters::Failure::AnswerNotWritten);
    }
    const qint32 flagCode = handOver[1].code;
    if (flagCode != 0)
        setError(QStringLiteral("WriteVar: antwort !") + decimal(flagCode));
    m_state.dropFirstAnswer();
    if (dataCode != 0) {
        const QString message = QStringLiteral("Answer not written into RecData (code %1, %2 characters): ")
                                    .arg(dataCode)
                                    .arg(text.size()) +
                                itemPreview(text);
        // Told to the PLC, the failure has a record of its own beside the one of the code above.
        if (peerFailuresToPlc(m_state))
            m_log.writeLog(statusLine(message), true);
        reportPeerFailure(PeerFailure::AnswerNotWritten, message);
    }
    m_state.counters.answerHandedOver(queue.size(),
                                      m_state.requestTick ? elapsedMs(m_state.requestTick) : std::nullopt);

    if (m_state.settings.statusReport != 0) {
        setError(QStringLiteral("SocketData received: (") + QString::number(elapsed) +
                 QStringLiteral(" msec) ") + text);
        m_log.writeLog(m_state.lblError, m_state.settings.statusReport == 1);
    }
}
