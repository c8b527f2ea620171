#pragma once

#include <QString>

class DesktopServices;

// The folder of the executable, or KAVETTA_HOME when that is set. No trailing separator.
QString programFolder();

// Turns the "~apppath~" placeholder of a stored path into a folder and back. The root is the
// folder that holds the "Server" folder of the configuration file. Returns the portable form
// (which may hold "~apppath~"); absolutePath receives the absolute form.
QString resolvePath(const QString &path, QString &absolutePath, const QString &configFile,
                    DesktopServices &desktop);
