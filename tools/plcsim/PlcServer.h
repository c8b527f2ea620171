#pragma once

#include "PlcRuntime.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTextStream>

#include <functional>
#include <map>
#include <memory>

class QSocketNotifier;

// Serves the runtime's variables to any number of link clients and takes console commands.
// Everything it reports goes to stdout as one line per event, "word key=value ...". With trace
// on, every write and every handle and notification a client makes or releases is reported too.
class PlcServer : public QObject
{
    Q_OBJECT
public:
    PlcServer(PlcRuntime &runtime, bool trace, QObject *parent = nullptr);
    ~PlcServer() override;

    // The newest protocol version the runtime speaks (Version unless set): at BaseVersion it
    // behaves as a runtime without Batch, to try a link against an older runtime.
    void setProtocolVersion(quint16 version) { m_version = version; }
    bool listen(const QHostAddress &address, quint16 port);
    quint16 serverPort() const;
    // Reads console commands from stdin until it ends.
    void watchStdin();

    void stopProgram();
    void startProgram();
    // One console command; returns false for "quit".
    bool command(const QString &line);

    // A write by the PLC program itself: subscribers are notified. The bytes go out with the
    // next flush (flushPending), which the caller runs where no client's request is being served.
    qint32 writeVariable(int index, const plcproto::Value &value);
    void flushPending() { flushAll(); }
    // Called after every change of a variable's value, whoever wrote it.
    void setChangeHook(std::function<void(int index)> hook) { m_changeHook = std::move(hook); }
    // Milliseconds since start, three decimals, as every output line gives them.
    QString stamp() const;
    void print(const QString &line);

private:
    class Listener;
    struct Client {
        int id = 0;
        int fd = -1;
        QSocketNotifier *readNotifier = nullptr;
        QSocketNotifier *writeNotifier = nullptr;
        QByteArray out; // bytes the socket did not take yet
        plcproto::FrameReader reader;
        QHash<quint32, int> handles;       // handle -> variable
        QHash<quint32, int> subscriptions; // notification handle -> variable
        bool wroteStatus = false;          // the last request wrote a .ConnectStatus alone
    };

    void onNewConnection(int fd);
    void onReadable(Client *client);
    void flush(Client *client);
    void flushAll();
    void onStdin();
    void drop(Client *client, const QString &reason);
    void handle(Client *client, const plcproto::Message &request);
    qint32 readOp(Client *client, quint32 handle, plcproto::VarType type, plcproto::Value &value);
    // The write, then (after the caller queued a single write's reply) finishWrite: trace and
    // notifications; index is -1 when nothing was written.
    qint32 writeOp(Client *client, quint32 handle, const plcproto::Value &value, int &index, bool &changed);
    void finishWrite(Client *client, int index, bool changed);
    void handleBatch(Client *client, const plcproto::Message &request, plcproto::Message &reply);
    // Counts the request among the answer hand-over's exchanges when it touches the answer
    // variables (see the "stats" command).
    void countExchange(Client *client, const plcproto::Message &request);
    void send(Client *client, const plcproto::Message &msg);
    void notifyChange(int index);
    void pushState();
    void writeFromConsole(int index, const plcproto::Value &value);
    void traceHandle(const Client *client, const char *op, quint32 id, int index);
    void listHandles(int clientId);

    PlcRuntime &m_runtime;
    bool m_trace;
    Listener *m_server;
    QSocketNotifier *m_stdin = nullptr;
    QByteArray m_stdinBuffer;
    std::map<int, std::unique_ptr<Client>> m_clients;
    int m_nextClient = 1;
    quint32 m_nextHandle = 1;
    quint16 m_version = plcproto::Version;
    quint64 m_requests = 0;
    quint64 m_handOverExchanges = 0;
    QElapsedTimer m_clock;
    QTextStream m_out;
    std::function<void(int)> m_changeHook;
};
