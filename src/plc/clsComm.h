#pragma once

#include <QString>
#include <QtGlobal>

#include <map>
#include <memory>

class KeloLink;

// The PLC link record: the request flag's symbol name and the handles of the seven PLC
// variables of this instance. A handle of 0 means none. The record releases its handles when
// it is terminated or destroyed, so it never leaves one behind in the PLC runtime.
class clsComm
{
public:
    explicit clsComm(KeloLink *link) : m_link(link) {}
    ~clsComm() { Terminate(); }
    clsComm(const clsComm &) = delete;
    clsComm &operator=(const clsComm &) = delete;

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
    void Terminate();

private:
    KeloLink *m_link;
};

// The collection of PLC link records; it holds at most one, under the key "1".
using CommList = std::map<QString, std::unique_ptr<clsComm>>;
