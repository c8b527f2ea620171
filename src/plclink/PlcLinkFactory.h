#pragma once

#include "plclink/PlcLink.h"

#include <QString>

#include <memory>

class EventSink;

// The PLC link an instance uses, chosen without touching its configuration file: a variable map
// beside the configuration file, with the same base name and the suffix ".modbus"
// (/etc/kavetta/Line1.zelb -> /etc/kavetta/Line1.modbus), selects the Modbus/TCP link; without
// one the instance uses the link to the PLC runtime.
//
// problem is empty, or the one message (file, line, problem) of a map that cannot be used; the
// Modbus link is then made all the same, and every variable gives the link's NoMap code, so
// that the instance does not quietly talk to the wrong kind of PLC.
//
// events (may be null) hears when the link cannot connect and when it is back.
std::unique_ptr<PlcLink> createPlcLink(const QString &configFile, QString &problem,
                                       EventSink *events = nullptr);

// The map file that selects the Modbus link for this configuration file.
QString plcMapFileFor(const QString &configFile);
