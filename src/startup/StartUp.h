#pragma once

#include "common/PendingError.h"

#include <QString>
#include <QStringList>

#include <functional>

class DesktopServices;
class GatewayState;
class HostIntegration;

// The command line after the program name, as one text: the arguments joined by blanks.
QString commandLineText(const QStringList &arguments);

// Splits at blanks and tabs only (double quotes mean nothing here). Element 0 is always empty;
// elements 1..n are the arguments; at most maxArgs of them, the rest of the text is ignored.
QStringList splitCommandLine(const QString &argsText, int maxArgs = 10);

// The start routine: records the program path, splits the command line, fixes the
// configuration file, then registers the file type or loads the main window.
class StartUp
{
public:
    StartUp(GatewayState &state, HostIntegration &host, DesktopServices &desktop);

    // loadMainWindow runs the main window's load handler and gives back a failure that escaped
    // it. Returns true when the main window was loaded (the program goes on running).
    bool startUp(const QString &argsText, const std::function<PendingError()> &loadMainWindow);

    bool registrationRequested() const { return m_registration; }

private:
    GatewayState &m_state;
    HostIntegration &m_host;
    DesktopServices &m_desktop;
    bool m_registration = false;
};
