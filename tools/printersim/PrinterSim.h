#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// The label-printer stand-in: a TCP peer that takes documents framed by
// "Content-Length: <n>\n\n" (and plain text requests without a frame) and answers each one.
class PrinterSim : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 port = 9100;
        QByteArray reply = "OK";  // answer to every request; "%n" becomes the document length
        int delayMs = 0;          // time before the answer
        bool closeAfterReply = false;
        bool silent = false;      // answer nothing
    };

    explicit PrinterSim(const Options &options, QObject *parent = nullptr);
    bool start(QString *error);
    quint16 port() const { return m_server.serverPort(); }

    // One line per event, for the console or a test.
    std::function<void(const QString &)> onLine;

    // Splits the complete requests off the front of buffer: framed documents by their length,
    // anything else up to its end. Returns the bodies; an incomplete frame stays in buffer.
    static QList<QByteArray> takeRequests(QByteArray &buffer);

private:
    void serve(QTcpSocket *socket);
    void say(const QString &line);

    Options m_options;
    QTcpServer m_server;
};
