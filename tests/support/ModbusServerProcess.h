#pragma once

#include <QProcess>
#include <QStringList>

// A Modbus/TCP server for tests: Debian's pymodbus behind tests/support/modbus_server.py, as a
// child process with a data store laid out by the test and faults switched on through its
// console (see the script for the commands).
class ModbusServerProcess : public QObject
{
    Q_OBJECT
public:
    explicit ModbusServerProcess(QObject *parent = nullptr);
    ~ModbusServerProcess() override { kill(); }

    // Starts the server with the script's options; port 0 picks a free one. Waits until it
    // serves.
    bool start(const QStringList &args = {}, quint16 port = 0);
    // Starts it again with the same options on the same port (a PLC that was switched off).
    bool restart();
    quint16 port() const { return m_port; }
    QString portText() const { return QString::number(m_port); }

    // One console command and its answer line ("ok", "values ...", ...); empty on time-out.
    QString ask(const QString &line);
    // "get" as numbers.
    QList<int> values(int unit, char area, int address, int count);
    bool set(int unit, char area, int address, const QList<int> &values);

    const QStringList &lines() const { return m_lines; }
    // Output lines from `from` on that match the pattern.
    QStringList linesMatching(const QString &pattern, int from = 0) const;

    void pause(bool paused = true);
    void kill();

private:
    void readOutput();

    QProcess m_process;
    QStringList m_args;
    QStringList m_lines;
    QByteArray m_partial;
    quint16 m_port = 0;
};
