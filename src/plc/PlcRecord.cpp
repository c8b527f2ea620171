#include "plc/PlcRecord.h"

#include "plclink/PlcLink.h"

void PlcRecord::release()
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
