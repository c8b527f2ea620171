#pragma once

#include "common/Services.h"

#include <QString>

class DesktopServices;
class GatewayState;

// Rotation of the communication log and clean-up of old backups.
//
// A log file larger than 64000 bytes is copied to "<program folder>/BAB-<module>-bak/" under
// "yyyyMMdd-HHmmss.dat" and started again empty. Backups modified more than 365 calendar days
// ago are deleted at start-up, after which the free-space check runs again without a report.
class LogBackup : public LogMaintenance
{
public:
    static constexpr qint64 kMaxLogSize = 64000;
    static constexpr qint64 kMaxBackupAgeDays = 365;

    LogBackup(GatewayState &state, DesktopServices &desktop, FreeSpaceGuard &freeSpace,
              const QString &programFolder);

    void buildBackup() override { buildBackup(-1); }
    // The same with the size that the caller already knows from its append (-1: not known),
    // which spares a look-up of the file by its path on every record.
    void buildBackup(qint64 knownSize);
    void killOldBakFiles() override;

    QString backupFolder() const;

private:
    void reportFailure(const QString &description);

    GatewayState &m_state;
    DesktopServices &m_desktop;
    FreeSpaceGuard &m_freeSpace;
    QString m_programFolder;
    bool m_boxOpen = false;
};
