#include "ServerManager.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

#include <algorithm>
#include <memory>

namespace
{

// A client that does not answer a command within this time is reported as not answering.
constexpr int kCommandTimeoutMs = 10000;
// The list waits this long for a client's state; a hanging client must not hang the list.
constexpr int kStatusTimeoutMs = 2000;

QString uptimeText(qint64 seconds)
{
    const qint64 days = seconds / 86400, hours = seconds % 86400 / 3600, minutes = seconds % 3600 / 60;
    if (days > 0)
        return QStringLiteral("%1d %2h").arg(days).arg(hours);
    if (hours > 0)
        return QStringLiteral("%1h %2m").arg(hours).arg(minutes);
    return QStringLiteral("%1m %2s").arg(minutes).arg(seconds % 60);
}

} // namespace

ServerManager::ServerManager(const QDBusConnection &bus, QObject *parent) : QObject(parent), m_bus(bus)
{
    managerbus::registerTypes();
    m_watcher = new QDBusServiceWatcher(this);
    m_watcher->setConnection(m_bus);
    m_watcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this](const QString &owner) { forgetOwner(owner, QStringLiteral("vanished")); });
}

ServerManager::~ServerManager()
{
    if (m_registered) {
        m_bus.unregisterService(managerbus::service);
        m_bus.unregisterObject(managerbus::path);
    }
}

bool ServerManager::start(QString *error)
{
    if (!m_bus.isConnected()) {
        if (error)
            *error = m_bus.lastError().message();
        return false;
    }
    if (!m_bus.registerObject(managerbus::path, this, QDBusConnection::ExportAllSlots)) {
        if (error)
            *error = QStringLiteral("cannot offer the object: ") + m_bus.lastError().message();
        return false;
    }
    // Without queueing: a second manager must fail at once, not wait for the first to end.
    const auto reply =
        m_bus.interface()->registerService(managerbus::service, QDBusConnectionInterface::DontQueueService,
                                           QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        m_bus.unregisterObject(managerbus::path);
        if (error)
            *error = reply.isValid() ? QStringLiteral("the bus name %1 is taken").arg(managerbus::service)
                                     : reply.error().message();
        return false;
    }
    m_registered = true;
    return true;
}

void ServerManager::line(const QString &text)
{
    if (onLine)
        onLine(text);
}

int ServerManager::PrevInstance(const QString &clientName)
{
    int count = 0;
    for (const Client &c : std::as_const(m_clients))
        count += c.name == clientName ? 1 : 0;
    line(QStringLiteral("prevInstance name=\"%1\" count=%2").arg(clientName).arg(count));
    return count;
}

int ServerManager::Connect(const QString &clientName, const QStringList &commandNames,
                           const QStringList &procedureNames, const QDBusObjectPath &callback,
                           const QMap<QString, QString> &parameters, QDBusObjectPath &callbackOut,
                           QMap<QString, QString> &parametersOut)
{
    const QString owner = calledFromDBus() ? message().service() : QString();
    // One client per connection: a second Connect replaces the first.
    m_clients.removeIf([&owner](const Client &c) { return c.owner == owner; });
    m_clients.append({clientName, commandNames, procedureNames, owner, callback.path(), parameters});
    if (!owner.isEmpty())
        m_watcher->addWatchedService(owner);
    line(QStringLiteral("connect name=\"%1\" path=\"%2\" bus=%3 commands=%4")
             .arg(clientName, parameters.value(managerbus::clientPathKey), owner,
                  commandNames.join(QLatin1Char(','))));
    callbackOut = callback;
    parametersOut = parameters;
    return 0;
}

int ServerManager::Disconnect()
{
    if (calledFromDBus())
        forgetOwner(message().service(), QStringLiteral("disconnect"));
    return 0;
}

void ServerManager::forgetOwner(const QString &owner, const QString &why)
{
    for (qsizetype i = m_clients.size() - 1; i >= 0; --i) {
        if (m_clients.at(i).owner == owner) {
            line(QStringLiteral("%1 name=\"%2\" bus=%3").arg(why, m_clients.at(i).name, owner));
            m_clients.removeAt(i);
        }
    }
    m_watcher->removeWatchedService(owner);
}

QString ServerManager::stateText(const QVariantMap &status)
{
    if (status.isEmpty())
        return QStringLiteral("state unknown");
    // The last error is a status line that may hold line breaks; the list keeps one line each.
    QString error = status.value(QStringLiteral("lastError")).toString().simplified();
    return QStringLiteral("PLC %1, peer %2, pending %3, up %4, last error: %5")
        .arg(status.value(QStringLiteral("plc")).toString(), status.value(QStringLiteral("peer")).toString())
        .arg(status.value(QStringLiteral("pending")).toInt())
        .arg(uptimeText(status.value(QStringLiteral("uptimeSec")).toLongLong()),
             error.isEmpty() ? QStringLiteral("none") : error);
}

QStringList ServerManager::ListClients()
{
    QStringList lines;
    for (const Client &c : std::as_const(m_clients))
        lines << c.name + QLatin1Char('\t') + c.parameters.value(managerbus::clientPathKey) +
                     QLatin1Char('\t') + c.owner;
    if (!calledFromDBus() || m_clients.isEmpty())
        return lines;

    // Every client is asked at once; the answer goes out when the last one has answered or
    // timed out.
    struct Gathering {
        QDBusMessage request;
        QStringList lines;
        qsizetype left = 0;
    };
    auto gathering = std::make_shared<Gathering>(Gathering{message(), lines, lines.size()});
    setDelayedReply(true);
    for (qsizetype i = 0; i < m_clients.size(); ++i) {
        const Client &c = m_clients.at(i);
        QDBusMessage call = QDBusMessage::createMethodCall(c.owner, c.callbackPath,
                                                           c.parameters.value(managerbus::clientClassKey),
                                                           QStringLiteral("serverStatus"));
        call.setAutoStartService(false);
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kStatusTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, gathering, i] {
            watcher->deleteLater();
            const QDBusMessage reply = watcher->reply();
            QString state;
            if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
                state = stateText(qdbus_cast<QVariantMap>(reply.arguments().constFirst()));
            else
                state = QStringLiteral("no state: ") + watcher->error().message();
            gathering->lines[i] += QLatin1Char('\t') + state;
            if (--gathering->left == 0)
                m_bus.send(gathering->request.createReply(gathering->lines));
        });
    }
    return {};
}

const ServerManager::Client *ServerManager::findClient(const QString &name, QString *failure) const
{
    const Client *found = nullptr;
    int matches = 0;
    for (const Client &c : m_clients) {
        if (c.name == name)
            return &c;
        if (c.name.contains(name, Qt::CaseInsensitive)) {
            found = &c;
            ++matches;
        }
    }
    if (matches == 1 && !name.isEmpty())
        return found;
    *failure = matches == 0 || name.isEmpty()
                   ? QStringLiteral("no client \"%1\"").arg(name)
                   : QStringLiteral("\"%1\" names %2 clients").arg(name).arg(matches);
    return nullptr;
}

QString ServerManager::RunCommand(const QString &client, const QString &command)
{
    QString failure;
    const Client *c = findClient(client, &failure);
    QString procedure;
    if (c) {
        qsizetype index = -1;
        for (qsizetype i = 0; i < c->commandNames.size() && index < 0; ++i) {
            if (c->commandNames.at(i).compare(command, Qt::CaseInsensitive) == 0)
                index = i;
        }
        if (index < 0 || index >= c->procedureNames.size())
            failure = QStringLiteral("client \"%1\" has no command \"%2\"").arg(c->name, command);
        else
            procedure = c->procedureNames.at(index);
    }
    if (!calledFromDBus())
        return failure;
    if (!c || !failure.isEmpty()) { // findClient says why whenever it finds none
        sendErrorReply(QDBusError::InvalidArgs, failure);
        return {};
    }

    line(QStringLiteral("command %1 name=\"%2\" -> %3").arg(command, c->name, procedure));
    QDBusMessage call = QDBusMessage::createMethodCall(
        c->owner, c->callbackPath, c->parameters.value(managerbus::clientClassKey), procedure);
    call.setAutoStartService(false);
    const QString name = c->name;
    const QString owner = c->owner;
    setDelayedReply(true);
    const QDBusMessage request = message();
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCommandTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, request, name, owner, procedure] {
                watcher->deleteLater();
                // A client that ends on a command (Stop) may be gone before its answer is out; having
                // disconnected, it has done what it was told.
                const bool ended = std::none_of(m_clients.cbegin(), m_clients.cend(),
                                                [&owner](const Client &c) { return c.owner == owner; });
                if (watcher->isError() && !ended) {
                    const QString why = watcher->error().message();
                    line(QStringLiteral("failed %1 name=\"%2\": %3").arg(procedure, name, why));
                    m_bus.send(
                        request.createErrorReply(QDBusError::Failed, procedure + QStringLiteral(": ") + why));
                    return;
                }
                line(QStringLiteral("done %1 name=\"%2\"").arg(procedure, name));
                m_bus.send(request.createReply(QStringLiteral("%1 done").arg(procedure)));
            });
    return {};
}
