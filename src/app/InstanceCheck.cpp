#include "app/InstanceCheck.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

namespace
{

bool privateFolder(const QString &path, uint uid)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() && info.ownerId() == uid &&
           !(info.permissions() & (QFile::WriteGroup | QFile::WriteOther));
}

// The user's runtime folder. Without XDG_RUNTIME_DIR, the normal case for a start through sudo,
// su or from a root shell, Qt picks a folder of its own and says so on stderr at every start.
// What the variable would name in a session of this user is logind's folder; where there is
// none, a folder of this user's own in the temporary folder serves.
QString runtimeFolder()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const uint uid = ::getuid();
    QString session = QStringLiteral("/run/user/%1").arg(uid);
    if (privateFolder(session, uid))
        return session;
    QString own = QDir::tempPath() + QStringLiteral("/kavetta-runtime-%1").arg(uid);
    QDir().mkdir(own, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (privateFolder(own, uid))
        return own;
    // Someone else's folder under that name: Qt's choice, and its warning, are right then.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

} // namespace

InstanceCheck::InstanceCheck(const QString &folder, const QString &programFile, const QString &instanceId)
    : m_folder(folder)
{
    if (m_folder.isEmpty())
        m_folder = runtimeFolder();
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
