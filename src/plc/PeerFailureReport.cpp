#include "plc/PeerFailureReport.h"

#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/StatusLine.h"
#include "plc/KeloLink.h"
#include "plc/clsComm.h"

void reportPeerFailure(GatewayState &state, KeloLink &link, LogWriter &log, PeerFailure code,
                       const QString &message)
{
    if (!state.safety.reportPeerFailures || state.chkServer != 0)
        return;
    state.setLblError(statusLine(message));
    log.writeLog(state.lblError, true);
    state.counters.reportedToPlc(int(code) - int(PeerFailure::Dropped));
    const clsComm *record = state.plcRecord();
    if (!record)
        return;
    if (record->hAnfordErr != 0)
        link.writeVarLong(record->hAnfordErr, 4, qint32(code));
    if (record->hAnfordErrText != 0)
        link.writeVarString(record->hAnfordErrText, qint32(state.lblError.size() * 2), state.lblError);
}
