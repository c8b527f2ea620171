#pragma once

#include <QString>
#include <QtGlobal>

class PlcLink;

// The record of the instance's one PLC request channel: the request flag's symbol name and the
// handles of the seven PLC variables of this instance. A handle of 0 means none. The record
// releases its handles when it is released or destroyed, so it never leaves one behind in the
// PLC runtime.
class PlcRecord
{
public:
    explicit PlcRecord(PlcLink *link) : m_link(link) {}
    ~PlcRecord() { release(); }
    PlcRecord(const PlcRecord &) = delete;
    PlcRecord &operator=(const PlcRecord &) = delete;

    QString anfordVar;
    qint32 hConnectAnfordVar = 0; // value notification on the request flag
    qint32 hConnect = 0;          // ".ConnectStatus"
    qint32 hAnfordErr = 0;        // ".anfordErr"
    qint32 hAnfordErrText = 0;    // ".anfordErrText"
    qint32 hAnfordVar = 0;        // ".anford"
    qint32 hAnfordRecVar = 0;     // ".antwort"
    qint32 hProdData = 0;         // ".SendData"
    qint32 hProdRecData = 0;      // ".RecData"

    // The notification first, then the variable handles; each released once, results ignored.
    void release();

private:
    PlcLink *m_link;
};
