#pragma once

#include "socket/SocketEndpoint.h"

#include <QStringList>

#include <utility>

// An endpoint that records the calls made to it; failures are set up by the test.
class FakeSocketEndpoint : public SocketEndpoint
{
public:
    using SocketEndpoint::SocketEndpoint;

    int current = Closed; // what state() answers
    qint64 port = 0;
    QStringList calls;
    QStringList sent;
    QString incoming;
    bool failListen = false;
    bool failSend = false;

    int state() const override { return current; }
    bool setLocalPort(qint64 p) override
    {
        calls << QStringLiteral("setLocalPort:%1").arg(p);
        if (p < 0 || p > 65535) {
            m_error.set(380, QStringLiteral("Invalid property value"));
            return false;
        }
        port = p;
        return true;
    }
    qint64 localPort() const override { return port; }
    bool listen() override
    {
        calls << QStringLiteral("Listen");
        if (failListen) {
            m_error.set(10048, QStringLiteral("Address in use"));
            return false;
        }
        current = Listening;
        return true;
    }
    bool connectToPeer(const QString &host, const QString &p) override
    {
        calls << QStringLiteral("Connect:%1:%2").arg(host, p);
        current = Connecting;
        return true;
    }
    bool accept(int requestId) override
    {
        calls << QStringLiteral("Accept:%1").arg(requestId);
        current = Connected;
        return true;
    }
    bool sendData(const QString &text) override
    {
        calls << QStringLiteral("SendData");
        if (failSend) {
            m_error.set(40006,
                        QStringLiteral(
                            "Wrong protocol or connection state for the requested transaction or request"));
            return false;
        }
        sent << text;
        return true;
    }
    QString getData() override
    {
        calls << QStringLiteral("GetData");
        return std::exchange(incoming, QString());
    }
    void close() override
    {
        calls << QStringLiteral("Close");
        current = Closed;
    }
};
