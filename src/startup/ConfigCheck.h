#pragma once

#include "common/ConfigProblem.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// "kavetta --check": reads an instance's files as the gateway would and reports every problem
// with file, line and reason, without starting anything (no PLC link, no socket, no log file,
// no event log, no options store).
//
// Looked at: the configuration file (unknown or misspelled record names with the nearest known
// one, values of the wrong kind or out of range, a missing closing quote, "~apppath~" that
// resolves to nowhere, a server path that does not exist), the instance options file, the
// Modbus map and whether it holds the module's seven variables, the Labels/ folder of the
// program folder and every template in it, and the print data database. Errors are what makes
// the instance work other than its files say; warnings are what only some requests need (the
// Labels/ folder and the database serve "/SetLabel" and "/SetJob" only) or what is read in a
// way the writer probably did not mean.
struct CheckReport {
    QString configFile;
    ConfigProblems problems;

    int count(ConfigProblem::Severity severity) const;
    bool clean() const { return count(ConfigProblem::Severity::Error) == 0; }
    // One line per problem, "<file>:<line>: error: <reason>", then a summary line.
    QString text() const;
    QByteArray json() const;
};

CheckReport checkInstance(const QString &configFile, const QString &programFolder);

// The same look at the configuration file's records and values alone, for content that is not
// written yet (configFile names it and places its folder).
ConfigProblems checkConfigurationContent(const QByteArray &content, const QString &configFile,
                                         const QString &programFolder);

// The command: arguments after "--check": [--json] [configuration]. Prints the report to out and
// returns the exit code: 0 without errors, 1 with any, 2 for unusable arguments.
int runConfigCheck(const QStringList &arguments, FILE *out = stdout);
