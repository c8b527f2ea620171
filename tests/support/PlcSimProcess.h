#pragma once

#include "ConsoleProcess.h"

// The PLC runtime stand-in as a child process of a test, started in server mode.
class PlcSimProcess : public ConsoleProcess
{
public:
    // $KAVETTA_BINARY_DIR/tools/plcsim/plcsim
    static QString program();

    // "serve --port <port> <args>"; waits for the listening line. port 0 picks a free one.
    bool start(const QStringList &args, quint16 port = 0)
    {
        return launch(program(),
                      QStringList{QStringLiteral("serve"), QStringLiteral("--port"), QString::number(port)} +
                          args,
                      5000);
    }

    // Runs plcsim with the arguments to its end; output lines and exit code.
    static int run(const QStringList &args, QStringList &output, int timeoutMs = 10000);
};
