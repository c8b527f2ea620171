#include "platform/DbusManagerLink.h"

#include "common/DesktopServices.h"
#include "common/GatewayState.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>

namespace
{

const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");

// Failures inside a callback are the callback's own; none may reach the bus.
void runIgnoringFailures(const std::function<void()> &callback)
{
    if (!callback)
        return;
    try {
        callback();
    } catch (...) {
    }
}

QString replyFailure(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage)
        return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return QStringLiteral("Unexpected answer from the server manager (signature \"%1\")")
        .arg(reply.signature());
}

} // namespace

clsCallBack::clsCallBack(ManagerCallbacks callbacks, QObject *parent)
    : QObject(parent), m_callbacks(std::move(callbacks))
{
}

// Each runs a copy: the stop ends in the unload, which drops this object's callbacks meanwhile.
void clsCallBack::serverStart()
{
    const auto start = m_callbacks.serverStart;
    runIgnoringFailures(start);
}

void clsCallBack::serverStop()
{
    const auto stop = m_callbacks.serverStop;
    runIgnoringFailures(stop);
}

void clsCallBack::serverRestart()
{
}

QVariantMap clsCallBack::serverStatus()
{
    const auto status = m_callbacks.status;
    QVariantMap map;
    runIgnoringFailures([&] {
        if (status)
            map = status();
    });
    return map;
}

DbusManagerLink::DbusManagerLink(const GatewayState &state, DesktopServices &desktop,
                                 ManagerCallbacks callbacks, const QDBusConnection &bus, QObject *parent)
    : QObject(parent), m_state(state), m_desktop(desktop), m_callbacks(std::move(callbacks)), m_bus(bus)
{
    managerbus::registerTypes();
}

DbusManagerLink::~DbusManagerLink()
{
    if (m_callbackExported)
        m_bus.unregisterObject(managerbus::callbackPath);
}

QString DbusManagerLink::clientNameFor(const QString &title)
{
    return QStringLiteral("Socket ") + QStringLiteral(" / ") + title;
}

QString DbusManagerLink::trayTip(const QString &title)
{
    // The tip field holds 64 characters: the text ends at its NUL, the rest is blanks. A text
    // that fills the field loses its NUL and its end.
    constexpr qsizetype kTipField = 64;
    const QString field = (clientNameFor(title) + QStringLiteral("  Socket-Server") + QChar(0))
                              .leftJustified(kTipField, QLatin1Char(' '), true);
    const qsizetype end = field.indexOf(QChar(0));
    return end < 0 ? field : field.left(end);
}

const QStringList &DbusManagerLink::commandNames()
{
    static const QStringList names{QStringLiteral("Start"), QStringLiteral("Stop"),
                                   QStringLiteral("Restart")};
    return names;
}

const QStringList &DbusManagerLink::procedureNames()
{
    static const QStringList names{QStringLiteral("serverStart"), QStringLiteral("serverStop"),
                                   QStringLiteral("serverRestart")};
    return names;
}

QDBusMessage DbusManagerLink::callManager(const QDBusMessage &message)
{
    QDBusMessage call = message;
    call.setAutoStartService(false);
    // QDBus::Block waits on the bus connection alone: no other event of the gateway runs inside.
    return m_bus.call(call, QDBus::Block, m_timeoutMs);
}

QString DbusManagerLink::findManager()
{
    if (!m_bus.isConnected())
        return {};
    QDBusMessage ask =
        QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService, QStringLiteral("GetNameOwner"));
    ask << managerbus::service;
    const QDBusMessage reply = callManager(ask);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    // The manager is addressed by its unique name from here on: the link belongs to this manager
    // process, not to whoever owns the name later.
    return reply.arguments().constFirst().toString();
}

void DbusManagerLink::addTrayIcon(const QString &title)
{
    m_desktop.addTrayIcon(trayTip(title));
}

int DbusManagerLink::connectManagerLink(const QString &title)
{
    if (title.isEmpty()) {
        addTrayIcon(title);
        return NoManager;
    }
    m_manager = findManager();
    if (m_manager.isEmpty()) {
        addTrayIcon(title);
        return NoManager;
    }
    m_clientName = clientNameFor(title);

    QDBusMessage prev = QDBusMessage::createMethodCall(m_manager, managerbus::path, managerbus::interface,
                                                       QStringLiteral("PrevInstance"));
    prev << m_clientName;
    const QDBusMessage prevReply = callManager(prev);
    // A failed or meaningless answer counts as 0.
    if (prevReply.type() == QDBusMessage::ReplyMessage && !prevReply.arguments().isEmpty()) {
        bool isNumber = false;
        const qlonglong count = prevReply.arguments().constFirst().toLongLong(&isNumber);
        if (isNumber && count > 0) {
            m_manager.clear();
            return AlreadyRunning;
        }
    }

    PendingError pending;
    if (m_callback) {
        m_callback->disable();
        m_callback->deleteLater();
    }
    m_callback = new clsCallBack(m_callbacks, this);
    m_callbackExported =
        m_bus.registerObject(managerbus::callbackPath, m_callback, QDBusConnection::ExportAllSlots);
    if (!m_callbackExported)
        pending.set(1, QStringLiteral("The callback object cannot be offered at ") +
                           managerbus::callbackPath + QStringLiteral(": ") + m_bus.lastError().message());

    managerbus::Parameters parameters{{managerbus::clientClassKey, managerbus::callbackClass},
                                      {managerbus::clientPathKey, m_state.configFile}};
    QDBusMessage connect = QDBusMessage::createMethodCall(m_manager, managerbus::path, managerbus::interface,
                                                          QStringLiteral("Connect"));
    connect << m_clientName << commandNames() << procedureNames()
            << QVariant::fromValue(QDBusObjectPath(managerbus::callbackPath))
            << QVariant::fromValue(parameters);
    const QDBusMessage reply = callManager(connect);

    m_callbackPath = managerbus::callbackPath;
    m_parameters = parameters;
    if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("ioa{ss}")) {
        m_callbackPath = qvariant_cast<QDBusObjectPath>(reply.arguments().at(1)).path();
        m_parameters = qdbus_cast<managerbus::Parameters>(reply.arguments().at(2));
    } else {
        pending.set(1, replyFailure(reply));
    }

    if (pending.isSet())
        m_desktop.message(QStringLiteral("Error Init SysIcon ") + pending.description, {}, true);
    return Registered;
}

void DbusManagerLink::disconnectManagerLink()
{
    m_desktop.removeTrayIcon();
    if (!m_manager.isEmpty()) {
        // A manager that has gone answers at once through the bus; one that hangs is waited for
        // no longer than any other call. Either way the answer is not used.
        callManager(QDBusMessage::createMethodCall(m_manager, managerbus::path, managerbus::interface,
                                                   QStringLiteral("Disconnect")));
    }
    m_manager.clear();
    if (m_callbackExported) {
        m_bus.unregisterObject(managerbus::callbackPath);
        m_callbackExported = false;
    }
    if (m_callback) {
        // The manager's Stop arrives through this object and unloads the gateway from inside its
        // call: the object goes once that call has returned.
        m_callback->disable();
        m_callback->deleteLater();
        m_callback = nullptr;
    }
}
