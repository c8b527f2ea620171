#pragma once

#include "common/PendingError.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

// The gateway's one TCP endpoint, in the client or the server role.
//
// Text maps to bytes by the Windows-1252 rule (common/Cp1252.h), so a text of byte values goes
// out as exactly those bytes. An operation that fails returns false and leaves a pending error
// (number and description) for the caller to test; nothing throws. Events are delivered on the
// thread's event loop, never from inside an operation.
class SocketEndpoint : public QObject
{
    Q_OBJECT
public:
    enum StateValue {
        Closed = 0,
        Open = 1,
        Listening = 2,
        Pending = 3,
        Resolving = 4,
        Resolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9,
    };

    using QObject::QObject;
    ~SocketEndpoint() override = default;

    // "Port Closed" .. "Port Error" for states 0..9; an empty text for anything else.
    static QString stateText(int state);

    virtual int state() const = 0;
    // The listening port; written only while the endpoint is closed.
    virtual bool setLocalPort(qint64 port) = 0;
    virtual qint64 localPort() const = 0;
    virtual bool listen() = 0;
    // Asynchronous: state() passes Resolving, Resolved, Connecting and ends in Connected with the
    // connected event, or the error event comes.
    virtual bool connectToPeer(const QString &host, const QString &port) = 0;
    // Only inside the connectionRequest event, on a closed endpoint.
    virtual bool accept(int requestId) = 0;
    // Queues the text and returns at once; sendComplete follows once every byte has left.
    virtual bool sendData(const QString &text) = 0;
    // True from sendData until its sendComplete event has been delivered, or until the
    // connection ended: the endpoint still holds data that the peer has not taken.
    virtual bool sendPending() const { return false; }
    // Bytes of the pending send that have not left the program yet.
    virtual qint64 bytesToSend() const { return 0; }
    // Inside the connectionRequest event: the address of the peer that asks.
    virtual QHostAddress requestPeer() const { return {}; }
    // Inside the dataArrival event: everything received so far, and the buffer emptied.
    virtual QString getData() = 0;
    // Allowed in any state; afterwards state() is Closed.
    virtual void close() = 0;

    const PendingError &pendingError() const { return m_error; }
    void clearError() { m_error.clear(); }

signals:
    void errorOccurred(int number, const QString &description);
    void dataArrival(qint64 bytesTotal);
    void connected();
    void connectionRequest(int requestId);
    void peerClosed();
    void sendComplete();
    void stateChanged(int state);

protected:
    PendingError m_error;
};
