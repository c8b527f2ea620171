#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <deque>

class PlcRuntime;
class PlcServer;

// The scripted PLC program of one gateway instance inside the runtime: every few seconds it
// raises a request (writes ".SendData", sets ".anford"), and it takes every answer as a PLC
// program does (reads ".RecData", resets ".antwort"), printing what happened with the round trip.
//
// Output lines ("plc ..."; t= in ms since the runtime started, rtt= and after= in ms):
//   plc request n=1 t=.. bytes=5 data=hello
//   plc taken n=1 t=.. after=..               the gateway reset ".anford"
//   plc answer n=1 t=.. rtt=.. bytes=2 data=OK
//   plc waiting n=1 t=..                      a tick found the last request not yet taken
// An answer is matched to the oldest request not yet answered (n=0: none was waiting).
class PlcProgram : public QObject
{
    Q_OBJECT
public:
    struct Options {
        QString module;
        QList<QByteArray> data; // send data texts, taken in turn; "{n}" becomes the request number
        int everyMs = 3000;
        int count = 0; // requests to raise; 0: no end
        // The next request only once the last one is answered, and then at once (a line that is
        // as busy as the gateway lets it be).
        bool afterAnswer = false;
    };

    PlcProgram(PlcRuntime &runtime, PlcServer &server, const Options &options, QObject *parent = nullptr);
    void start();

private:
    void tick();
    void changed(int index);
    void write(int index, const QByteArray &text);
    void write(int index, bool flag);
    bool flag(int index) const;

    struct Pending {
        int n;
        QElapsedTimer raised;
        bool taken;
    };

    PlcRuntime &m_runtime;
    PlcServer &m_server;
    Options m_options;
    int m_anford, m_sendData, m_recData, m_antwort;
    QTimer m_timer;
    static constexpr size_t MaxPending = 1000;
    int m_raised = 0;
    std::deque<Pending> m_pending;
};
