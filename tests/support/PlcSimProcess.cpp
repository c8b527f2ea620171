#include "PlcSimProcess.h"

QString PlcSimProcess::program()
{
    QByteArray dir = qgetenv("KAVETTA_BINARY_DIR");
    if (dir.isEmpty())
        dir = KAVETTA_BINARY_DIR;
    return QString::fromLocal8Bit(dir) + QStringLiteral("/tools/plcsim/plcsim");
}

int PlcSimProcess::run(const QStringList &args, QStringList &output, int timeoutMs)
{
    QProcess p;
    p.start(program(), args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    output = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return p.exitCode();
}
