#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <vector>

// The label-printer stand-in.
//
// Server mode (the default): a TCP peer that takes documents framed by "Content-Length: <n>\n\n"
// (and plain text requests without a frame) and answers each one. Options make it misbehave the
// way real printers and networks do: refuse connections, reset them, never read, cut them after
// some bytes, answer late or in pieces.
//
// Client mode (connectHost set): connects to a gateway in the server role, sends the given data
// (once or repeatedly) and reports what comes back.
//
// Every event is reported as one plain line through onLine (without the time; the console
// program adds it).
class PrinterSim : public QObject
{
    Q_OBJECT
public:
    struct Options {
        // Where the server listens; port 0 lets the system pick one (see port()).
        QHostAddress address = QHostAddress(QHostAddress::LocalHost);
        quint16 port = 9100;

        // Answer to every request; "%n" becomes its length, "%r" the request, "%t" the monotonic
        // clock (CLOCK_MONOTONIC) in microseconds when the request was complete.
        QByteArray reply = "OK";
        int delayMs = 0;     // time before the answer
        int pieces = 1;      // answer (or, in client mode, each send) in this many pieces
        int pieceGapMs = 50; // time between two pieces
        bool closeAfterReply = false;
        bool silent = false; // answer nothing

        bool refuse = false; // hold the port without listening: connects are refused
        // Accept and never read. The receive buffer is the smallest there is, so the peer's send
        // stalls once its own kernel send buffer is full (on loopback that may take up to 4 MB).
        bool noRead = false;
        // End each connection once the peer has sent this many bytes (0: at once, -1: never),
        // with an orderly close (FIN) or a reset (RST).
        qint64 closeAfterBytes = -1;
        qint64 resetAfterBytes = -1;
        QString saveDir; // write each received document into this folder

        // Client mode.
        QString connectHost; // empty: server mode
        quint16 connectPort = 0;
        QByteArray send;    // data to send after connecting (nothing: just report what arrives)
        int count = 1;      // number of sends; 0 = until stopped
        int everyMs = 1000; // period between sends
        int waitMs = -1;    // after the last send, finish after this time; -1 = when the peer closes
    };

    explicit PrinterSim(const Options &options, QObject *parent = nullptr);
    ~PrinterSim() override;

    // Starts listening (or holding the port, or connecting in client mode). On failure says why.
    bool start(QString *error);
    // The port bound in server mode (the one the system picked for port 0).
    quint16 port() const;
    const Options &options() const { return m_options; }
    // Changes the behaviour while running: later connections, requests and answers follow the
    // new options; switching refuse on or off closes or reopens the listener on the same port;
    // switching noRead off serves the connections held so far (the stalled peer recovers).
    bool setOptions(const Options &options, QString *error = nullptr);

    // One line per event, for the console or a test.
    std::function<void(const QString &)> onLine;

    // Splits the complete requests off the front of buffer: framed documents by their length,
    // anything else up to its end. Returns the bodies; an incomplete frame stays in buffer.
    static QList<QByteArray> takeRequests(QByteArray &buffer);
    // A short printable form of wire data for an event line.
    static QString preview(const QByteArray &data);
    // Backslash escapes of the command line (\n \r \t \0 \\ \xHH) to bytes; other text in the
    // plants' single-byte code page.
    static QByteArray unescape(const QString &text);

signals:
    void documentReceived(const QByteArray &body); // server: one complete request
    void answerReceived(const QByteArray &data);   // client: one arrival from the gateway
    void finished(int exitCode);                   // client: done (0) or failed (1)

private:
    class Listener;
    struct Connection;

    bool openListener(QString *error);
    void closeListener();
    bool intercept(qintptr descriptor);
    void pruneHeld();
    void releaseHeld();
    void serve(QTcpSocket *socket);
    void onData(Connection *c);
    void cut(Connection *c, bool reset);
    void save(const QByteArray &body);
    void queueOut(Connection *c, const QByteArray &data, int delayMs, const QString &event,
                  std::function<void()> then);
    void sendDue(Connection *c);

    bool startClient(QString *error);
    void clientSend();
    void clientFinish(int exitCode);
    void clientFinished();

    void say(const QString &line);

    Options m_options;
    Listener *m_listener = nullptr;
    QTcpSocket m_holder; // bound, never listening: what --refuse leaves on the port
    quint16 m_port = 0;
    struct Held {
        int fd;
        QString peer;
    };
    std::vector<Held> m_held; // connections accepted and never read
    int m_nextSave = 0;       // number of the next saved document; 0 until the folder is scanned
    QElapsedTimer m_clock;

    // Client mode.
    QPointer<QTcpSocket> m_client;
    Connection *m_clientConn = nullptr;
    QTimer m_sendTimer;
    QTimer m_connectTimer;
    QTimer m_waitTimer;
    int m_sends = 0;
    bool m_connected = false;
    bool m_finishing = false;
    bool m_finishedEmitted = false;
    int m_exitCode = 0;
};
