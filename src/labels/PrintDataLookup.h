#pragma once

#include <QString>
#include <QtGlobal>

// Where the label builder gets the print data of one lot and part number: symbol=value lines
// separated by line feeds, or an empty text when there is none (or the database could not be
// used, which the lookup reports itself).
class PrintDataLookup
{
public:
    virtual ~PrintDataLookup() = default;
    virtual QString getDruckData(const QString &los, qint16 teil) = 0;
    // Why the last lookup refused the print data it found (too large to build a label from
    // while the gateway waits); empty when it did not. The label is then rejected with it.
    virtual QString refusal() const { return {}; }
};

// The statement that selects the print data records: the lot name goes in exactly as given
// (quotes are not doubled), the part number in decimal.
QString druckDataQuery(const QString &los, qint16 teil);
