#pragma once

#include "common/PeerFailure.h"

class GatewayState;
class KeloLink;
class LogWriter;

// With reportPeerFailures on, in the client role: the code into ".anfordErr", the status line
// of the message into lblError, ".anfordErrText" and the log. A PLC program that watches
// ".anfordErr" then knows that its last job did not reach the printer or its answer did not
// reach the PLC. Off, nothing happens here: whatever the gateway reports of the failure anyway
// is reported where it happens.
void reportPeerFailure(GatewayState &state, KeloLink &link, LogWriter &log, PeerFailure code,
                       const QString &message);
