#pragma once

#include "core/RuntimeAddOn.h"

class InstanceGuard;
class QApplication;

// Builds the gateway (state, components, main window), runs the start routine and the event
// loop; returns the process exit code. instances: the program's instance lock; addOn, when given,
// is made with the runtime.
int runGateway(QApplication &app, InstanceGuard &instances, const RuntimeAddOn &addOn = {});
