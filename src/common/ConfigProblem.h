#pragma once

#include <QList>
#include <QString>

// One problem found in a file of an instance (configuration file, instance options, Modbus map,
// label template): where it is and what is wrong. An error means the instance does not work as
// the file says; a warning names something that works, but probably not as meant.
struct ConfigProblem {
    enum class Severity { Error, Warning };

    QString file;
    int line = 0; // 0: the file as a whole
    QString reason;
    Severity severity = Severity::Error;

    bool isError() const { return severity == Severity::Error; }
    // "<file>, line <n>: <reason>" (without the line part for the file as a whole).
    QString text() const
    {
        return file + (line > 0 ? QStringLiteral(", line %1").arg(line) : QString()) + QStringLiteral(": ") +
               reason;
    }
};

using ConfigProblems = QList<ConfigProblem>;
