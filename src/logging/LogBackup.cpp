#include "logging/LogBackup.h"

#include "common/Clock.h"
#include "common/DesktopServices.h"
#include "common/GatewayState.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

LogBackup::LogBackup(GatewayState &state, DesktopServices &desktop, FreeSpaceGuard &freeSpace,
                     const QString &programFolder)
    : m_state(state), m_desktop(desktop), m_freeSpace(freeSpace), m_programFolder(programFolder)
{
}

QString LogBackup::backupFolder() const
{
    return m_programFolder + QStringLiteral("/BAB-") + m_state.settings.moduleName + QStringLiteral("-bak/");
}

void LogBackup::reportFailure(const QString &description)
{
    // A folder that refuses every copy would otherwise put up one box per log record.
    if (m_boxOpen)
        return;
    m_boxOpen = true;
    m_desktop.showMessage(DesktopServices::MessageBox{description, m_state.applicationTitle,
                                                      DesktopServices::Buttons::Ok,
                                                      DesktopServices::Icon::None, false},
                          [this](DesktopServices::Answer) { m_boxOpen = false; });
}

void LogBackup::buildBackup(qint64 knownSize)
{
    const QString &logFileName = m_state.logFileName;
    if (logFileName.isEmpty())
        return;
    qint64 size = knownSize;
    if (size < 0) {
        const QFileInfo info(logFileName);
        // A missing or unreadable file counts as empty: it is simply not rotated this time.
        size = info.isFile() ? info.size() : 0;
    }
    if (size <= kMaxLogSize)
        return;

    const QString folder = backupFolder();
    QDir().mkpath(folder);

    const QString target =
        folder + currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) + QStringLiteral(".dat");
    // A second rotation within the same second replaces the first backup.
    if (QFileInfo::exists(target)) {
        QFile old(target);
        old.setPermissions(old.permissions() | QFileDevice::WriteOwner);
        if (!old.remove()) {
            reportFailure(old.errorString());
            return;
        }
    }
    // Moving the file is the copy and the delete in one step, without reading and writing the
    // 64 kB on every rotation; across file systems QFile::rename copies and deletes by itself.
    // Either way a failure leaves the live file in place, to be tried again after the next record.
    QFile live(logFileName);
    if (!live.rename(target)) {
        reportFailure(live.errorString());
        return;
    }
    QFile fresh(logFileName);
    if (!fresh.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        reportFailure(fresh.errorString());
        return;
    }
    fresh.close();
}

void LogBackup::killOldBakFiles()
{
    const QDate today = currentDateTime().date();
    const QDir dir(backupFolder());
    if (dir.exists()) {
        const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
        for (const QFileInfo &file : files) {
            const QDateTime modified = file.lastModified();
            if (!modified.isValid())
                continue;
            if (modified.date().daysTo(today) > kMaxBackupAgeDays) {
                QFile doomed(file.absoluteFilePath());
                doomed.setPermissions(doomed.permissions() | QFileDevice::WriteOwner);
                doomed.remove();
            }
        }
    }
    m_freeSpace.checkFreeSpace(false);
}
