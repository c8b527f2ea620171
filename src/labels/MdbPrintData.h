#pragma once

#include "labels/PrintDataLookup.h"

#include <memory>

class GatewayState;
class LogWriter;

// The print data lookup on the plants' Access database "<settings.serverPath>/System/prog.mdb", read
// with libmdb, read-only. Opening the file and reading its catalog and table layout cost more
// than the lookup itself, so the database stays open while the file stays the same (same file,
// size, modification and change times, checked at every lookup); a changed, replaced or
// vanished file is opened anew, or reported, as if it had never been open.
//
// The statement of druckDataQuery is what selects the records; it is evaluated here over the
// rows that libmdb reads, because the text comparison must be the one the plants' database
// engine makes (letter case is ignored), which the SQL layer of the library on this machine
// does not offer. A statement that does not parse (a lot name with a quote) selects nothing.
//
// Only a database that cannot be opened is reported ("Error open Database:" in lblError and
// the log); a missing table or column, an empty table or a damaged data page give an empty
// text. The library writes its own diagnostics about damaged files to stderr.
class MdbPrintData : public PrintDataLookup
{
public:
    MdbPrintData(GatewayState &state, LogWriter &log);
    ~MdbPrintData() override;

    QString getDruckData(const QString &los, qint16 teil) override;
    QString refusal() const override { return m_refusal; }

    // Print data longer than this (stored bytes) is refused: a label is built while the gateway
    // does nothing else, and real print data is a few kilobytes.
    static constexpr qint64 MaxPrintDataBytes = 1024LL * 1024;

    // settings.serverPath + "/System/prog.mdb"
    QString databasePath() const;

private:
    struct OpenDatabase;

    GatewayState &m_state;
    LogWriter &m_log;
    std::unique_ptr<OpenDatabase> m_open;
    QString m_refusal;
};
