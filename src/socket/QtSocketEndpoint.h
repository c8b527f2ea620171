#pragma once

#include "socket/SocketEndpoint.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>

#include <deque>
#include <functional>

class QTcpServer;
class QTcpSocket;

// The gateway's TCP endpoint on Qt Network.
//
// States reached: Closed, Listening, Resolving, Resolved, Connecting, Connected, Closing (the
// peer closed; received data stays readable until close()) and Error (after the error event, until
// close()). Open and Pending belong to datagram and half-open sockets and are never entered here.
//
// Every event (the signals of SocketEndpoint, stateChanged included) is queued and emitted from
// the event loop, in the order in which it arose, so that a handler never runs inside an
// operation of its own caller. close() drops every event of the connection it closes that has not
// been delivered yet.
//
// Sending: the text is kept as it was given (shared with the caller's copy, not copied) and turned
// into bytes a piece at a time as the connection takes them, so that a document of megabytes
// costs no second full copy while a slow or stalled peer holds it up.
//
// Server role: the listener stays open while a connection it produced is connected, so that a
// later peer is still reported with connectionRequest; the gateway decides whether the newcomer
// takes over (close() then accept() inside the event) or is turned away (the offered connection
// is closed when the event returns without accept()). A close() inside connectionRequest only
// holds the listener: accept() resumes it, and it is closed when the event returns without
// accept() or listen().
//
// Error numbers (PendingError::number and the errorOccurred event). They follow the numbering of
// the Windows socket layer, which the plants' engineers know from their other tools:
//
//   number  meaning                                             where
//   ------  --------------------------------------------------  ---------------------------------
//      380  Invalid property value                              port out of range or not a number;
//                                                               setLocalPort while not closed
//    10013  Permission denied                                   listen() on a privileged port
//    10048  Address in use                                      listen() on a port already taken
//    10049  Address not available                               listen() on a foreign address
//    10053  Connection aborted                                  the line closed before it stood
//    10054  Connection reset by the remote side                 network failure on an open line
//    10055  No buffer space available                           out of sockets or memory
//    10057  Socket is not connected                             sendData while not connected
//    10060  Connection timed out                                connect or transfer timed out
//    10061  Connection refused                                  nobody listens on the remote port
//    10065  No route to host                                    host or network unreachable
//    11001  Host not found                                      name does not resolve, or no host
//    40006  Wrong protocol or connection state for the          listen()/connectToPeer() while not
//           requested transaction or request                    closed, accept() outside its event
//    40020  Unexpected socket error                             anything else the platform reports
class QtSocketEndpoint : public SocketEndpoint
{
    Q_OBJECT
public:
    enum ErrorNumber {
        InvalidPropertyValue = 380,
        PermissionDenied = 10013,
        AddressInUse = 10048,
        AddressNotAvailable = 10049,
        ConnectionAborted = 10053,
        ConnectionReset = 10054,
        NoBufferSpace = 10055,
        NotConnected = 10057,
        TimedOut = 10060,
        ConnectionRefused = 10061,
        HostUnreachable = 10065,
        HostNotFound = 11001,
        BadState = 40006,
        UnexpectedError = 40020,
    };

    // Dead-peer detection on every connection (see applyKeepAlive).
    static constexpr int keepAliveIdleSeconds = 10;
    static constexpr int keepAliveIntervalSeconds = 5;
    static constexpr int keepAliveProbes = 3;
    static constexpr unsigned int unacknowledgedLimitMs = 30000;

    explicit QtSocketEndpoint(QObject *parent = nullptr);
    ~QtSocketEndpoint() override;

    // The address listen() binds to; all interfaces unless set otherwise. Takes effect on the
    // next listen().
    void setListenAddress(const QHostAddress &address) { m_listenAddress = address; }

    // The fixed English description of one of the numbers above.
    static QString errorText(int number);

    // The operating system's descriptor of the current connection, -1 when there is none.
    qintptr connectionDescriptor() const;

    int state() const override { return m_state; }
    bool setLocalPort(qint64 port) override;
    // While listening on port 0, the port the system chose.
    qint64 localPort() const override;
    bool listen() override;
    bool connectToPeer(const QString &host, const QString &port) override;
    bool accept(int requestId) override;
    bool sendData(const QString &text) override;
    bool sendPending() const override { return m_sendInFlight; }
    QHostAddress requestPeer() const override;
    qint64 bytesToSend() const override;
    QString getData() override;
    void close() override;

private:
    struct Queued {
        // 0: delivered whatever happened since it was queued.
        quint64 generation;
        std::function<void()> emitter;
    };

    bool fail(int number, const QString &detail = {});
    QString describe(int number) const;
    void setState(int state);
    void post(std::function<void()> emitter);
    void postDataArrival();
    void deliverQueued();
    void serveConnectionRequests();

    void adopt(QTcpSocket *socket);
    void dropConnection();
    void closeListener();

    void onSocketStateChanged(QAbstractSocket::SocketState state);
    void onSocketError(QAbstractSocket::SocketError error);
    void onReadyRead();
    void onBytesWritten();
    void onPeerGone();
    // Writes the next pieces of the texts given to sendData while the socket holds little; false
    // when the socket refused one.
    bool feed();
    void dropUnsent();

    static int numberFor(QAbstractSocket::SocketError error, bool wasConnected);

    int m_state = Closed;
    qint64 m_localPort = 0;
    QHostAddress m_listenAddress{QHostAddress::Any};
    QTcpServer *m_server = nullptr;
    QTcpSocket *m_socket = nullptr;
    QByteArray m_received;
    // host:port of the current connection, for the error descriptions.
    QString m_peer;
    // The texts of sendData not yet handed to the socket, in order, and how much of the first one
    // has been.
    std::deque<QString> m_unsent;
    qsizetype m_unsentDone = 0;
    qint64 m_unsentChars = 0;
    // Bytes written since the last sendComplete was queued.
    bool m_sendPending = false;
    // From sendData until the sendComplete event has been delivered (or the connection ended).
    bool m_sendInFlight = false;

    // Raised by close(): queued events of older generations belong to a closed connection.
    quint64 m_generation = 1;
    std::deque<Queued> m_queue;
    bool m_deliveryScheduled = false;
    bool m_dataArrivalQueued = false;
    bool m_requestsQueued = false;

    // The connection offered by the connectionRequest event being delivered, if any.
    QTcpSocket *m_offered = nullptr;
    int m_offeredId = 0;
    int m_lastRequestId = 0;
    // True after a close() inside connectionRequest: the listener is paused, not yet closed.
    bool m_listenerHeld = false;
};
