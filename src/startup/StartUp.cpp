#include "startup/StartUp.h"

#include "common/DesktopServices.h"
#include "common/GatewayState.h"
#include "common/Services.h"
#include "config/ProgramPaths.h"

namespace
{

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

} // namespace

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
