#include "startup/StartUp.h"

#include "common/DesktopServices.h"
#include "common/GatewayState.h"
#include "common/Services.h"

#include <QCoreApplication>

namespace
{

const QString kPlaceholder = QStringLiteral("~apppath~");
const QString kServerFolder = QStringLiteral("/SERVER");

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

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

QString commandLineText(const QStringList &arguments)
{
    return arguments.mid(1).join(QLatin1Char(' '));
}

QStringList splitCommandLine(const QString &argsText, int maxArgs)
{
    QStringList args(qMax(maxArgs, 0) + 1);
    int count = 0;
    bool inside = false;
    for (const QChar c : argsText) {
        if (isBlank(c)) {
            inside = false;
            continue;
        }
        if (!inside) {
            if (count >= maxArgs)
                break;
            ++count;
            inside = true;
        }
        args[count].append(c);
    }
    args.resize(count + 1);
    return args;
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

StartUp::StartUp(GatewayState &state, HostIntegration &host, DesktopServices &desktop)
    : m_state(state), m_host(host), m_desktop(desktop)
{
}

bool StartUp::startUp(const QString &argsText, const std::function<PendingError()> &loadMainWindow)
{
    // Every step runs; the last failure is reported once at the end.
    PendingError pending;
    const auto keep = [&pending](const PendingError &e) {
        if (e.isSet())
            pending = e;
    };

    keep(m_host.registerProgramPath());

    const QStringList args = splitCommandLine(argsText);
    m_state.configFile = programFolder() + QStringLiteral("/Kavetta.zelb");

    m_registration = false;
    if (args.size() > 1 && !args[1].isEmpty()) {
        QString arg = args[1];
        const QString upper = arg.toUpper();
        if (upper == QLatin1String("-REGSERVER") || upper == QLatin1String("/REGSERVER"))
            m_registration = true;
        if (arg.size() > 5 && upper.contains(QLatin1String(".ZELB"))) {
            if (arg.startsWith(QLatin1Char('"')))
                arg.remove(0, 1);
            const qsizetype quote = arg.indexOf(QLatin1Char('"'), 1);
            if (quote > 0)
                arg.truncate(quote);
            m_state.configFile = arg;
        }
    }
    m_state.notify();

    if (m_registration)
        keep(m_host.registerFileType(QStringLiteral("ZELB")));
    else if (loadMainWindow)
        keep(loadMainWindow());

    if (pending.isSet()) {
        const QString code = QString::number(static_cast<quint32>(pending.number), 16).toUpper();
        m_desktop.message(code + QStringLiteral("  ") + pending.description, m_state.applicationTitle);
    }
    return !m_registration;
}
