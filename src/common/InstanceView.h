#pragma once

#include "common/LineCounters.h"

#include <QDateTime>
#include <QHostAddress>
#include <QString>
#include <QVariantMap>

#include <optional>

// One running instance as the surfaces outside its window show it (the status endpoint, the
// server manager's list, the event-log entry at start): a copy of what they read, taken at the
// moment it is asked for. Reading it changes nothing in the gateway.
struct InstanceView {
    struct Plc {
        bool used = false; // the server role does not use the PLC
        QString kind;      // "runtime", "modbus" or "other"
        QString target;
        QString state;
        bool up = false;
        QString mapFile; // the variable map the Modbus link reads
        QString problem; // while it is not up: why, in the link's words (target, variable, module)
    };

    QString version; // "major.minor.revision"
    QString module;
    QString machine;
    QString configFile;
    QDateTime startedAt;
    qint64 uptimeSec = 0;

    bool server = false;           // the role: server, else client
    bool staticConnection = false; // the client's connection: static, else one per request
    QString remoteHost;
    QString socketPort;
    int socketState = 0;
    QString socketStateText;
    bool peerConnected = false;
    Plc plc;

    QString state;     // lblState
    QString lastError; // lblError
    QString lastComm;  // lblLastComm
    qsizetype pending = 0;
    qsizetype receiveQueue = 0;
    LineCounters counters;

    QString logFile;
    bool logEnabled = true;
    std::optional<qint64> logFreeBytes; // nothing when the file system is unknown
    quint64 eventLogEntriesLost = 0;
    bool journalEnabled = false; // [journal] enabled
    QString journalProblem;      // why it keeps nothing on disk now; empty while it does

    // Reloads (SIGHUP) that found errors in the instance's files and kept what was loaded;
    // refusedReload: why the last one was refused, empty while the files on disk are in use.
    quint64 reloadsRefused = 0;
    QString refusedReload;

    quint16 statusPort = 0; // 0: no status endpoint
    QHostAddress statusAddress;

    // "port P" for the server role, else "host:port" of the peer.
    QString peerTarget() const;
};

// The state the server manager lists: plc, peer, pending, lastError, uptimeSec, state.
QVariantMap managerStatus(const InstanceView &view);

// What the instance will do, said once per start in the event log.
QString startSummary(const InstanceView &view);
