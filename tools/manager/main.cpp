#include "ServerManager.h"
#include "ServiceInstances.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTime>

#include <cstdio>

namespace
{

constexpr int kCallTimeoutMs = 15000;

int usage()
{
    std::fprintf(
        stderr,
        "usage: manager serve                  own the server manager's bus name and keep its clients\n"
        "       manager list                   list the registered clients: name, ClientPath, bus name,\n"
        "                                      state (PLC link, peer, pending, uptime, last error);\n"
        "                                      then the service instances below /var/lib/kavetta\n"
        "                                      (KAVETTA_INSTANCES_ROOT), each from its status endpoint\n"
        "       manager start|stop|restart <client>\n"
        "                                      run a client's command; <client> is its full name or\n"
        "                                      any part that names only one client, e.g. Line1\n");
    return 2;
}

int serve()
{
    ServerManager manager;
    manager.onLine = [](const QString &text) {
        std::printf("%s %s\n", qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"))),
                    qPrintable(text));
        std::fflush(stdout);
    };
    QString error;
    if (!manager.start(&error)) {
        std::fprintf(stderr, "manager: %s\n", qPrintable(error));
        return 1;
    }
    manager.onLine(QStringLiteral("serving %1").arg(managerbus::service));
    return QCoreApplication::exec();
}

// Asks the running manager; prints the answer or the failure.
int ask(const QString &method, const QVariantList &arguments)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "manager: no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(managerbus::service, managerbus::path, managerbus::interface, method);
    call.setArguments(arguments);
    call.setAutoStartService(false);
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "manager: %s\n", qPrintable(reply.errorMessage()));
        return 1;
    }
    for (const QVariant &value : reply.arguments()) {
        const QStringList lines = value.toStringList();
        for (const QString &text : lines)
            std::printf("%s\n", qPrintable(text));
    }
    return 0;
}

// The manager's clients, when a manager runs on the session bus (else a sentence saying what
// is missing), then the service instances, which run without one.
int list()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const bool manager = bus.isConnected() && bus.interface() &&
                         bus.interface()->isServiceRegistered(managerbus::service).value();
    int result = 0;
    if (manager)
        result = ask(QStringLiteral("ListClients"), {});
    else if (!bus.isConnected())
        std::printf("No session bus here (as for a service or an SSH login): instances under a server "
                    "manager cannot be asked.\n");
    else
        std::printf("No server manager runs on this session bus (kavetta-manager serve starts one): no "
                    "instances under a manager.\n");
    const QString root = qEnvironmentVariableIsSet("KAVETTA_INSTANCES_ROOT")
                             ? qEnvironmentVariable("KAVETTA_INSTANCES_ROOT")
                             : QStringLiteral("/var/lib/kavetta");
    const QStringList services = serviceInstanceLines(root, 2000);
    // Beside a manager's list, no line where there is nothing to add.
    if (services.isEmpty() && !manager)
        std::printf("No service instances in %s.\n", qPrintable(root));
    for (const QString &line : services)
        std::printf("service %s\n", qPrintable(line));
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("manager"));
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString verb = args.first().toLower();
    if (verb == QLatin1String("serve") && args.size() == 1)
        return serve();
    if (verb == QLatin1String("list") && args.size() == 1)
        return list();
    static const QMap<QString, QString> commands{{QStringLiteral("start"), QStringLiteral("Start")},
                                                 {QStringLiteral("stop"), QStringLiteral("Stop")},
                                                 {QStringLiteral("restart"), QStringLiteral("Restart")}};
    if (commands.contains(verb) && args.size() == 2)
        return ask(QStringLiteral("RunCommand"), {args.at(1), commands.value(verb)});
    return usage();
}
