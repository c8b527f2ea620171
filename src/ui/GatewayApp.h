#pragma once

#include "core/RuntimeAddOn.h"

class QApplication;

// Builds the gateway (state, components, main window), runs the start routine and the event
// loop; returns the process exit code. addOn, when given, is made with the runtime.
int runGateway(QApplication &app, const RuntimeAddOn &addOn = {});
