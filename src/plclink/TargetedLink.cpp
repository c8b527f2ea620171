#include "plclink/TargetedLink.h"

#include "common/EventSink.h"

#include <QHostAddress>

TargetedLink::TargetedLink(quint16 defaultPort, EventSink *events, QObject *parent)
    : PlcLink(parent),
      m_connection({.target = [this](QHostAddress &a, quint16 &p) { return target(a, p); },
                    .describe = [this] { return targetDescription(); },
                    .connected = [this] { greet(); },
                    .readable = [this] { receive(); },
                    .disconnected = [this] { forgetConnection(); },
                    .stateChanged =
                        [this](LinkState state) {
                            linkStateEntered(state);
                            QMetaObject::invokeMethod(
                                this, [this, state] { emit linkStateChanged(state); }, Qt::QueuedConnection);
                        }}),
      m_defaultPort(defaultPort)
{
    m_connection.setEventSink(events);
}

void TargetedLink::setNetId(const QString &value)
{
    if (value == m_netId)
        return;
    m_netId = value;
    m_connection.retarget();
}

void TargetedLink::setNetId2(const QString &value)
{
    if (value == m_netId2)
        return;
    m_netId2 = value;
    if (m_netId.trimmed().isEmpty())
        m_connection.retarget();
}

void TargetedLink::setPort(const QString &value)
{
    if (value == m_port)
        return;
    m_port = value;
    m_connection.retarget();
}

bool TargetedLink::parseTarget(const QString &netId, const QString &port, quint16 defaultPort,
                               QHostAddress &address, quint16 &portNumber)
{
    QString id = netId.trimmed();
    if (id.isEmpty() || id.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        id = QStringLiteral("127.0.0.1");
    // Names are not resolved: a blocking resolver call could hang the gateway without bound.
    if (id.contains(QLatin1Char(':'))) {
        if (!address.setAddress(id) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return false;
    } else {
        // Dotted decimal only (no short forms such as 1.2.3); a six-part net id (address plus
        // two routing bytes) names the PLC by its first four parts.
        const QStringList parts = id.split(QLatin1Char('.'));
        if (parts.size() != 4 && parts.size() != 6)
            return false;
        for (const QString &part : parts) {
            bool ok = false;
            if (part.isEmpty() || part.size() > 3 || part.toUInt(&ok) > 255 || !ok)
                return false;
        }
        if (!address.setAddress(parts.mid(0, 4).join(QLatin1Char('.'))))
            return false;
    }
    const QString p = port.trimmed();
    if (p.isEmpty()) {
        portNumber = defaultPort;
        return true;
    }
    bool ok = false;
    const uint n = p.toUInt(&ok);
    if (!ok || n < 1 || n > 65535)
        return false;
    portNumber = quint16(n);
    return true;
}

bool TargetedLink::target(QHostAddress &address, quint16 &portNumber) const
{
    return parseTarget(targetAddress(), m_port, m_defaultPort, address, portNumber);
}

QString TargetedLink::hostAndPort() const
{
    QHostAddress address;
    quint16 portNumber = 0;
    if (!target(address, portNumber))
        return QStringLiteral("net id \"%1\", port \"%2\"").arg(targetAddress(), m_port);
    return endpointText(address, portNumber);
}

QString TargetedLink::endpointText(const QHostAddress &address, quint16 portNumber)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(portNumber);
}

qint32 TargetedLink::showProperties()
{
    if (!m_propertiesHandler)
        return NoPropertiesHandler;
    m_propertiesHandler();
    return Ok;
}

void TargetedLink::noteLookup(const QString &name, qint32 code)
{
    EventSink *events = m_connection.eventSink();
    if (code == UnknownSymbol) {
        const QString module = name.section(QLatin1Char('.'), 0, -2);
        QString why = QStringLiteral("no variable %1 at %2").arg(name, targetDescription());
        if (!module.isEmpty())
            why += QStringLiteral("; is the module name %1 right?").arg(module);
        m_connection.noteFailure(why);
        if (!std::exchange(m_nameMissing, true) && events)
            events->event(EventSink::Error, QStringLiteral("PLC link: %1").arg(why));
    } else if (code == Ok && std::exchange(m_nameMissing, false) && events) {
        events->event(
            EventSink::Information,
            QStringLiteral("PLC link back: variable %1 found at %2.").arg(name, targetDescription()));
    }
}

void TargetedLink::queueUpdate(quint32 key, const QVariant &value)
{
    Event event;
    event.key = key;
    event.value = value;
    queue(std::move(event));
}

void TargetedLink::queueStateChange(qint32 state, qint32 other)
{
    Event event;
    event.update = false;
    event.state = state;
    event.other = other;
    queue(std::move(event));
}

void TargetedLink::queue(Event event)
{
    event.session = m_session;
    m_events.push_back(std::move(event));
    if (!m_deliveryQueued) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &TargetedLink::deliverEvents, Qt::QueuedConnection);
    }
}

void TargetedLink::deliverEvents()
{
    m_deliveryQueued = false;
    // A slot may call back into the link and queue more; those wait for the next round.
    std::deque<Event> batch;
    batch.swap(m_events);
    for (const Event &e : batch) {
        if (!e.update) {
            emit stateChanged(e.state, e.other);
            continue;
        }
        qint32 notify = 0;
        void *user = nullptr;
        if (e.session == m_session && registration(e.key, notify, user))
            emit connectUpdate(notify, e.value, user);
    }
}
