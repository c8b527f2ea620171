#pragma once

#include <QProcess>
#include <QStringList>

// A stand-in run as a child process of a test and driven through its console. It serves on the
// port its first "listening ... port=N" line names; its output lines are collected as they come.
// Paused, it is a peer that hangs.
class ConsoleProcess : public QObject
{
public:
    ConsoleProcess();
    ~ConsoleProcess() override { kill(); }
    ConsoleProcess(const ConsoleProcess &) = delete;
    ConsoleProcess &operator=(const ConsoleProcess &) = delete;

    quint16 port() const { return m_port; }
    QString portText() const { return QString::number(m_port); }
    const QStringList &lines() const { return m_lines; }
    // Output lines from `from` on that match the pattern.
    QStringList linesMatching(const QString &pattern, int from = 0) const;
    // Waits (spinning the event loop) for an output line matching the pattern, from line `from` on.
    bool waitForLine(const QString &pattern, int timeoutMs = 5000, int from = 0) const;
    void command(const QString &line);
    void pause(bool paused = true);
    void kill();

protected:
    // Starts the program and waits up to timeoutMs for its listening line.
    bool launch(const QString &program, const QStringList &args, int timeoutMs);

    QProcess m_process;

private:
    QStringList m_lines;
    QByteArray m_partial;
    quint16 m_port = 0;
};
