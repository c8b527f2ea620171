#pragma once

#include "common/Services.h"
#include "plc/PlcRecord.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

class GatewayState;
class PlcLink;
class LabelCommands;
class LogWriter;
class SocketEndpoint;

// Milliseconds from startTick to nowTick, both readings of the 32-bit tick counter taken as
// signed numbers: correct across the wrap from the largest unsigned value to 0, empty when the
// difference leaves the signed 32-bit range (the counter passed its signed wrap in between).
std::optional<qint32> elapsedMs(quint32 startTick, quint32 nowTick);
// The same against the gateway clock's current tick count.
std::optional<qint32> elapsedMs(quint32 startTick);

// The PLC side of the gateway: the PLC link record and its handles (connectPlc, terminateAll),
// the two events of the link, the request cycle (readProd), the response cycle (responseTick,
// the handler of Timer2) and what the socket side reports for the PLC (its state into
// ".ConnectStatus", the failures of the peer side into ".anfordErr").
//
// Everything runs on the gateway's one thread. The link's calls never re-enter the event loop,
// so a handler here sees the state exactly as it found it until it returns.
class PlcCycles : public QObject, public PlcConnection, public ResponseCycle
{
    Q_OBJECT
public:
    PlcCycles(GatewayState &state, PlcLink &link, SocketEndpoint &socket, LogWriter &log,
              QObject *parent = nullptr);
    // Releases the handles still held, while the link is certainly alive.
    ~PlcCycles() override;
    PlcCycles(const PlcCycles &) = delete;
    PlcCycles &operator=(const PlcCycles &) = delete;

    // The builders behind "/SetLabel" and "/SetJob". While none is set, those commands give 0
    // and queue nothing.
    void setLabelCommands(LabelCommands *labels) { m_labels = labels; }

    // Builds the record anew: every handle, then the request notification.
    void connectPlc() override;
    // Releases and drops the record; the caller releases the link after.
    void terminateAll() override;
    // Writes the state into ".ConnectStatus" while the record holds that handle.
    void showSocketState(int state) override;
    // With reportPeerFailures on, in the client role: the code into ".anfordErr", the status
    // line of the message into lblError and ".anfordErrText"; the log record of the failure is
    // written where it happens, before this report. A PLC program that watches
    // ".anfordErr" then knows that its last job did not reach the printer or its answer did not
    // reach the PLC. Off, nothing happens here: whatever the gateway reports of the failure
    // anyway is reported where it happens.
    void reportPeerFailure(PeerFailure code, const QString &message) override;

    // The record of the PLC request channel; null before the first PLC connection, after
    // terminateAll and in the server role.
    PlcRecord *plcRecord() const { return m_record.get(); }

    // Serves one request of the PLC (the request flag turned true).
    void readProd(PlcRecord *record);
    // One tick of the response cycle: hands at most one received piece to the PLC.
    void responseTick() override;

    // The link's events.
    void onConnectUpdate(qint32 notifyHandle, const QVariant &value, void *user);
    void onStateChanged(qint32 state, qint32 other);

private:
    // The failure path of readProd for failures that are not codes of the link.
    void requestFailure(int number, const QString &description);
    void setError(const QString &message);

    GatewayState &m_state;
    PlcLink &m_link;
    SocketEndpoint &m_socket;
    LogWriter &m_log;
    LabelCommands *m_labels = nullptr;
    std::unique_ptr<PlcRecord> m_record;
    // The first answer found the PLC's answer flag set (or could not look at it): it is handed
    // over in two exchanges, the look first.
    bool m_answerWaits = false;
};
