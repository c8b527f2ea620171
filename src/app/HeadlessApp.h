#pragma once

#include "core/RuntimeAddOn.h"

class GatewayState;
class QCoreApplication;
class QString;

// True when the gateway has no display to show a window on (neither DISPLAY nor
// WAYLAND_DISPLAY is set), or KAVETTA_HEADLESS=1 asks for running without one.
bool headlessRequested();

// Runs the gateway without any window: the core alone, with the same load order minus the
// window's steps. SIGTERM and SIGINT run the unload and end the process with 0; SIGHUP loads the
// configuration again, as the operator's Load does. Returns the process exit code.
// addOn, when given, is made with the runtime (the status endpoint).
int runHeadless(QCoreApplication &app, const RuntimeAddOn &addOn = {});

// Without a window nobody sees the title that says "Empty configuration", so a headless gateway
// that loaded no module says why in its event log. The text names the missing program folder,
// the missing configuration file, or the file that names no module; empty when a module is
// loaded.
QString emptyConfigurationNotice(const GatewayState &state, const QString &programFolder);

// A program folder that the gateway may not write (a read-only instance folder) loses the
// communication log, its backups and saved configurations; the window shows the failure of
// each record, a headless gateway says it once in its event log. Empty when the folder is
// writable or missing.
QString unwritableFolderNotice(const QString &programFolder);
