#pragma once

#include <QTcpServer>

#include <array>
#include <memory>

// What the status endpoint grants its clients. A read-only page may not cost the line anything:
// few connections, small requests, no connection kept for long without a request going through.
struct StatusLimits {
    int maxConnections = 32;
    qsizetype maxHeadBytes = qsizetype(16) * 1024;
    qsizetype maxBodyBytes = qsizetype(16) * 1024;
    // An answer the client does not read is not kept beyond this.
    qsizetype maxUnreadAnswerBytes = qsizetype(1024) * 1024;
    int idleMs = 30000;     // no request begun since the connection opened or the last answer
    int halfSentMs = 10000; // a request begun and not whole
};

// The connections the status endpoint refused or closed, by reason.
struct StatusRefusals {
    enum Reason { Connections, Head, Body, Time, Idle, Count };
    std::array<quint64, Count> counts{};

    static const char *name(int reason);
    quint64 total() const;
};

// The status endpoint's listening socket, handed to the HTTP server. It takes a connection only
// while fewer than maxConnections are open (else it says 503 and closes it at once), and watches
// every connection it hands on: a head or body beyond its bound is answered 431 or 413, a request
// not whole in time 408, and the connection closed; an idle connection is closed. When the
// process runs out of descriptors it stops accepting for a second rather than spin.
class StatusListener : public QTcpServer
{
    Q_OBJECT
public:
    StatusListener(const StatusLimits &limits, std::shared_ptr<StatusRefusals> refusals,
                   QObject *parent = nullptr);
    ~StatusListener() override;

    // Connections open now.
    int connections() const { return *m_open; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    StatusLimits m_limits;
    std::shared_ptr<StatusRefusals> m_refusals;
    // Shared with the connections' guards, which may outlive the listener by a moment.
    std::shared_ptr<int> m_open = std::make_shared<int>(0);
};
