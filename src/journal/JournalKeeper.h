#pragma once

#include "config/InstanceOptions.h"
#include "journal/SqliteJournal.h"

#include <QString>

class GatewayState;
class LogWriter;

// The durable queue of one instance ([journal] in the instance options). The journal lies beside
// the configuration file (Line1.zelb -> Line1.journal): for the service that is the instance
// folder, for an instance started by hand the folder of its configuration, so the journal
// travels with the instance like its options and its variable map.
//
// Items an earlier run left are never sent silently. Each is reported (a log record and an event
// entry with its text) and dropped, or, with replayMaxAgeSec, queued again when it was taken
// less than that long ago and reported as replayed. An item that was being handed over when the
// process ended (to the peer, or into ".RecData") may have arrived there already: its record
// says "on the wire when the gateway stopped", and it is the only kind that a replay can deliver
// twice.
class JournalKeeper
{
public:
    JournalKeeper(GatewayState &state, LogWriter &log);

    static QString fileFor(const QString &configFile);

    // Opens the journal (its leftovers kept for settle) or closes it as the options say; the
    // queues as they stand now are written into a journal switched on while items wait. A
    // journal switched off is removed: it would hold nothing of an earlier run.
    void apply(const JournalOptions &options, const QString &configFile);
    // Reports, drops or queues again what an earlier run left, and says a journal that cannot
    // be used. Runs once the log can be written. True when answers were queued for the PLC.
    bool settle();

private:
    GatewayState &m_state;
    LogWriter &m_log;
    JournalOptions m_options;
    SqliteJournal m_journal;
    QString m_problem;    // to be said once the log can be written
    QString m_failedFile; // the journal that could not be opened, said already
};
