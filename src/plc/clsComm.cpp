#include "plc/clsComm.h"

#include "plc/KeloLink.h"

void clsComm::Terminate()
{
    if (!m_link)
        return;
    if (hConnectAnfordVar != 0) {
        m_link->disconnectVar(hConnectAnfordVar);
        hConnectAnfordVar = 0;
    }
    for (qint32 *handle :
         {&hConnect, &hAnfordVar, &hAnfordRecVar, &hAnfordErr, &hAnfordErrText, &hProdData, &hProdRecData}) {
        if (*handle != 0) {
            m_link->deleteVarHandle(*handle);
            *handle = 0;
        }
    }
}
