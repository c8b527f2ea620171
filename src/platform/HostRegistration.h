#pragma once

#include "common/Services.h"

#include <QString>

class Options;

// Makes the program known to the host. On every start its path and the extension it serves go
// into the settings store ("Server" and "Extension" of Pralix-Application/Socket-Server). On
// request the configuration file type is registered with the desktop: a shared-mime-info package
// for "*.<ext>" and a desktop entry that opens such a file with this program, both in the XDG
// data folder, after which the desktop's caches are rebuilt by their own tools where installed.
// Neither reports anything: the store queues its own message for the operator, and a file-type
// registration stops silently at the first file it cannot write.
class HostRegistration : public HostIntegration
{
public:
    // programFile: the executable (this process's when empty). dataHome: the XDG data folder
    // (XDG_DATA_HOME, else ~/.local/share, when empty).
    explicit HostRegistration(Options &options, QString programFile = {}, QString dataHome = {});

    PendingError registerProgramPath() override;
    PendingError registerFileType(const QString &extensionName) override;

    QString programFile() const;
    QString dataHome() const;

    // "application/x-<ext>", the extension in lower case.
    static QString mimeType(const QString &extensionName);
    // Where registerFileType puts its two files.
    QString mimePackagePath(const QString &extensionName) const;
    QString desktopEntryPath(const QString &extensionName) const;

    // The desktop entry's command: the program path quoted, then the file. When KAVETTA_HOME is
    // given, the program is started with it, so that an opened file finds the same program
    // folder as a gateway started by hand.
    static QString execLine(const QString &programFile, const QString &kavettaHome);

private:
    Options &m_options;
    QString m_programFile;
    QString m_dataHome;
};
