#include "config/ProgramPaths.h"

#include "common/DesktopServices.h"

#include <QCoreApplication>

namespace
{

const QString kPlaceholder = QStringLiteral("~apppath~");
const QString kServerFolder = QStringLiteral("/SERVER");

// The configuration file's folder as text: everything before the last separator. A bare file
// name has no folder (empty), a file directly under the root has "/".
QString parentFolderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return {};
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

} // namespace

QString programFolder()
{
    QString folder = qEnvironmentVariable("KAVETTA_HOME");
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath();
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

QString resolvePath(const QString &path, QString &absolutePath, const QString &configFile,
                    DesktopServices &desktop)
{
    // A database connection string is not a path.
    if (path.contains(QLatin1String("Provider"), Qt::CaseInsensitive)) {
        absolutePath = path;
        return path;
    }

    QString root = parentFolderOf(configFile);
    if (root.isEmpty())
        root = programFolder();

    if (root.right(kServerFolder.size()).toUpper() != kServerFolder) {
        if (path.contains(kPlaceholder))
            desktop.message(QStringLiteral("Wrong Configpath found! ") + configFile, {}, true);
        absolutePath = path;
        return path;
    }
    root.chop(kServerFolder.size());

    QString p = path;
    p.replace(kPlaceholder, root);
    absolutePath = p;
    if (p.isEmpty())
        return p;

    const auto isNetwork = [](const QString &s) { return s.startsWith(QLatin1String("//")); };
    if (isNetwork(p) && !isNetwork(root))
        return p;
    if (!p.startsWith(QLatin1Char('/'))) {
        // Relative: the root is put in front as it stands, without a separator.
        absolutePath = root + p;
        return p;
    }
    if (p.left(root.size()).compare(root, Qt::CaseInsensitive) == 0)
        return kPlaceholder + p.mid(root.size());
    return p;
}
