#pragma once

#include "ConsoleProcess.h"

// A Modbus/TCP server for tests: Debian's pymodbus behind tests/support/modbus_server.py, with a
// data store laid out by the test and faults switched on through its console (see the script for
// the commands).
class ModbusServerProcess : public ConsoleProcess
{
public:
    ModbusServerProcess() { m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel); }

    // Starts the server with the script's options; port 0 picks a free one. Waits until it
    // serves.
    bool start(const QStringList &args = {}, quint16 port = 0);
    // Starts it again with the same options on the same port (a PLC that was switched off).
    bool restart();

    // One console command and its answer line ("ok", "values ...", ...); empty on time-out.
    QString ask(const QString &line);
    // "get" as numbers.
    QList<int> values(int unit, char area, int address, int count);
    bool set(int unit, char area, int address, const QList<int> &values);

private:
    QStringList m_args;
};
