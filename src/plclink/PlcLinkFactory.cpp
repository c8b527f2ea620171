#include "plclink/PlcLinkFactory.h"

#include "plclink/ModbusLink.h"
#include "plclink/RuntimeLink.h"

#include <QDir>
#include <QFileInfo>

QString plcMapFileFor(const QString &configFile)
{
    if (configFile.isEmpty())
        return {};
    const QFileInfo info(configFile);
    const QString base = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
    return info.dir().filePath(base + QStringLiteral(".modbus"));
}

std::unique_ptr<PlcLink> createPlcLink(const QString &configFile, QString &problem, EventSink *events)
{
    problem.clear();
    const QString mapFile = plcMapFileFor(configFile);
    std::unique_ptr<PlcLink> link;
    if (mapFile.isEmpty() || !QFileInfo::exists(mapFile)) {
        link = std::make_unique<RuntimeLink>(events);
    } else {
        modbusmap::VariableMap map;
        if (map.load(mapFile, problem))
            link = std::make_unique<ModbusLink>(std::move(map), events);
        else
            link = std::make_unique<ModbusLink>(mapFile, problem, events);
    }
    // The settings dialog names the map file that would select the other link.
    link->setProperty("plcMapFile", mapFile);
    return link;
}
