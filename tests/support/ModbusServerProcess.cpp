#include "ModbusServerProcess.h"

bool ModbusServerProcess::start(const QStringList &args, quint16 port)
{
    m_args = args;
    // Debian's interpreter, which has Debian's pymodbus (another python3 on the PATH may not).
    const bool started =
        launch(QStringLiteral("/usr/bin/python3"),
               QStringList{QStringLiteral(KAVETTA_SOURCE_DIR "/tests/support/modbus_server.py"),
                           QStringLiteral("--port"), QString::number(port)} +
                   args,
               15000);
    if (!started)
        qWarning("the Modbus server did not start (python3-pymodbus installed?)");
    return started;
}

bool ModbusServerProcess::restart()
{
    const quint16 before = port();
    return start(QStringList(m_args), before) && port() == before;
}

QString ModbusServerProcess::ask(const QString &line)
{
    const int from = int(lines().size());
    const QString answer = QStringLiteral("^(ok|values|dropped|error)\\b");
    command(line);
    return waitForLine(answer, 5000, from) ? linesMatching(answer, from).first() : QString();
}

QList<int> ModbusServerProcess::values(int unit, char area, int address, int count)
{
    const QString reply =
        ask(QStringLiteral("get %1 %2 %3 %4").arg(unit).arg(QLatin1Char(area)).arg(address).arg(count));
    QList<int> out;
    if (reply.startsWith(QLatin1String("values ")))
        for (const QString &w : reply.mid(7).split(QLatin1Char(' '), Qt::SkipEmptyParts))
            out << w.toInt();
    return out;
}

bool ModbusServerProcess::set(int unit, char area, int address, const QList<int> &values)
{
    QString line = QStringLiteral("set %1 %2 %3").arg(unit).arg(QLatin1Char(area)).arg(address);
    for (int v : values)
        line += QLatin1Char(' ') + QString::number(v);
    return ask(line) == QLatin1String("ok");
}
