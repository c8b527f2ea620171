#pragma once

class QApplication;

// Builds the gateway (state, components, main window), runs the start routine and the event
// loop; returns the process exit code.
int runGateway(QApplication &app);
