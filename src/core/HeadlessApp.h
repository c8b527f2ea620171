#pragma once

class QCoreApplication;

// True when the gateway has no display to show a window on (neither DISPLAY nor
// WAYLAND_DISPLAY is set), or KAVETTA_HEADLESS=1 asks for running without one.
bool headlessRequested();

// Runs the gateway without any window: the core alone, with the same load order minus the
// window's steps. SIGTERM and SIGINT run the unload and end the process with 0; SIGHUP loads the
// configuration again, as the operator's Load does. Returns the process exit code.
int runHeadless(QCoreApplication &app);
