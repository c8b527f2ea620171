#pragma once

#include <QProcess>
#include <QStringList>

// The PLC runtime stand-in as a child process of a test: started in server mode, driven through
// its console, paused, killed. Its output lines are collected as they come.
class PlcSimProcess : public QObject
{
    Q_OBJECT
public:
    explicit PlcSimProcess(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&m_process, &QProcess::readyReadStandardOutput, this, &PlcSimProcess::readOutput);
    }
    ~PlcSimProcess() override { kill(); }

    // $KAVETTA_BINARY_DIR/tools/plcsim/plcsim
    static QString program();

    // "serve --port <port> <args>"; waits for the listening line. port 0 picks a free one.
    bool start(const QStringList &args, quint16 port = 0);
    quint16 port() const { return m_port; }
    QString portText() const { return QString::number(m_port); }

    void command(const QString &line);
    // Waits (spinning the event loop) for an output line matching the pattern, from line `from` on.
    bool waitForLine(const QString &pattern, int timeoutMs = 5000, int from = 0);
    const QStringList &lines() const { return m_lines; }

    // Stops or continues the process: a runtime that hangs.
    void pause(bool paused = true);
    void kill();

    // Runs plcsim with the arguments to its end; output lines and exit code.
    static int run(const QStringList &args, QStringList &output, int timeoutMs = 10000);

private:
    void readOutput();

    QProcess m_process;
    QStringList m_lines;
    QByteArray m_partial;
    quint16 m_port = 0;
};
