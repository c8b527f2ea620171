#include "plclink/PlcLinkHolder.h"

#include "plclink/PlcLinkFactory.h"

#include <QFile>
#include <QFileInfo>

PlcLinkHolder::PlcLinkHolder(const QString &configFile, EventSink *events)
    : m_configFile(configFile), m_events(events)
{
    m_map = readMap();
    adopt(createPlcLink(m_configFile, m_problem, m_events));
}

PlcLinkHolder::~PlcLinkHolder() = default;

QByteArray PlcLinkHolder::readMap() const
{
    const QString mapFile = plcMapFileFor(m_configFile);
    if (mapFile.isEmpty() || !QFileInfo::exists(mapFile))
        return {};
    QFile file(mapFile);
    // A map is a few kilobytes; an unreadable one still selects the Modbus link.
    return file.open(QIODevice::ReadOnly) ? file.read(1024LL * 1024) : QByteArray("");
}

QString PlcLinkHolder::kindText(const QByteArray &map, const QString &mapFile)
{
    return map.isNull() ? QStringLiteral("runtime link")
                        : QStringLiteral("Modbus link (") + QFileInfo(mapFile).fileName() + QLatin1Char(')');
}

QString PlcLinkHolder::pendingChange() const
{
    const QByteArray wanted = readMap();
    if (wanted.isNull() == m_map.isNull() && wanted == m_map)
        return {};
    const QString mapFile = plcMapFileFor(m_configFile);
    if (wanted.isNull() != m_map.isNull())
        return QStringLiteral("PLC link ") + kindText(m_map, mapFile) + QStringLiteral(" -> ") +
               kindText(wanted, mapFile);
    return QStringLiteral("PLC variable map ") + QFileInfo(mapFile).fileName() + QStringLiteral(" changed");
}

void PlcLinkHolder::renew()
{
    m_map = readMap();
    if (m_link) {
        m_link->disconnect(this);
        // Later: the old link may have events of its own still on their way.
        m_link.release()->deleteLater();
    }
    adopt(createPlcLink(m_configFile, m_problem, m_events));
    if (onRenewed)
        onRenewed(*m_link);
}

void PlcLinkHolder::adopt(std::unique_ptr<PlcLink> link)
{
    m_link = std::move(link);
    connect(m_link.get(), &PlcLink::connectUpdate, this, &PlcLink::connectUpdate);
    connect(m_link.get(), &PlcLink::stateChanged, this, &PlcLink::stateChanged);
}
