#include "core/InstanceCheck.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>

InstanceCheck::InstanceCheck(const QString &folder, const QString &programFile, const QString &instanceId)
    : m_folder(folder)
{
    if (m_folder.isEmpty())
        m_folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (m_folder.isEmpty())
        m_folder = QDir::tempPath();
    QDir().mkpath(m_folder);

    const QString program = programFile.isEmpty() ? QCoreApplication::applicationFilePath() : programFile;
    const QByteArray hash =
        QCryptographicHash::hash(program.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    m_prefix = QStringLiteral("kavetta-") + QString::fromLatin1(hash) + QLatin1Char('-');
    const QString id =
        instanceId.isEmpty() ? QString::number(QCoreApplication::applicationPid()) : instanceId;
    m_ownPath = QDir(m_folder).filePath(m_prefix + id + QStringLiteral(".lock"));

    m_own = std::make_unique<QLockFile>(m_ownPath);
    // A running instance may live for months: its lock must never be judged stale by age.
    m_own->setStaleLockTime(0);
    m_own->tryLock(0);
}

InstanceCheck::~InstanceCheck() = default;

bool InstanceCheck::anotherInstanceRunning()
{
    const QDir dir(m_folder);
    const QStringList locks = dir.entryList({m_prefix + QStringLiteral("*.lock")}, QDir::Files);
    for (const QString &name : locks) {
        const QString path = dir.filePath(name);
        if (path == m_ownPath)
            continue;
        QLockFile other(path);
        other.setStaleLockTime(0);
        // Taking the lock succeeds only when its process is gone; then it is simply dropped.
        if (other.tryLock(0)) {
            other.unlock();
            continue;
        }
        if (other.error() == QLockFile::LockFailedError)
            return true;
    }
    return false;
}
