#pragma once

#include <QString>
#include <QStringList>

// The PLC side from the command line: one action against a running runtime, reported on stdout
// as plain lines. Each returns the process exit code (0 done, 2 refused by the runtime or not
// reachable, 3 timed out, 1 bad usage).
struct ScriptTarget {
    QString host;
    QString port;
    int timeoutMs = 5000;
};

int runRequest(const ScriptTarget &target, const QString &module, const QString &data);
int runRead(const ScriptTarget &target, const QStringList &names);
int runWrite(const ScriptTarget &target, const QString &name, const QString &value);
int runWatch(const ScriptTarget &target, const QStringList &names, int count);
int runControl(const ScriptTarget &target, const QString &what);
