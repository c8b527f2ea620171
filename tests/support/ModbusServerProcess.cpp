#include "ModbusServerProcess.h"

#include <QRegularExpression>
#include <QTest>

#include <csignal>

ModbusServerProcess::ModbusServerProcess(QObject *parent) : QObject(parent)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &ModbusServerProcess::readOutput);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

static const char Script[] = KAVETTA_SOURCE_DIR "/tests/support/modbus_server.py";

bool ModbusServerProcess::start(const QStringList &args, quint16 port)
{
    kill();
    m_args = args;
    m_lines.clear();
    m_partial.clear();
    // Debian's interpreter, which has Debian's pymodbus (another python3 on the PATH may not).
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    QStringList{QString::fromUtf8(Script), QStringLiteral("--port"), QString::number(port)} +
                        args);
    if (!m_process.waitForStarted(5000)) {
        qWarning("cannot start %s: %s", Script, qPrintable(m_process.errorString()));
        return false;
    }
    const QRegularExpression listening(QStringLiteral("^listening port=(\\d+)"));
    if (!QTest::qWaitFor([&] { return !m_lines.filter(listening).isEmpty(); }, 15000)) {
        qWarning("the Modbus server did not start (python3-pymodbus installed?)");
        return false;
    }
    m_port = quint16(listening.match(m_lines.filter(listening).first()).captured(1).toUInt());
    return m_port != 0;
}

bool ModbusServerProcess::restart()
{
    const quint16 port = m_port;
    const QStringList args = m_args;
    return start(args, port) && m_port == port;
}

QString ModbusServerProcess::ask(const QString &line)
{
    static const QRegularExpression answer(QStringLiteral("^(ok|values|dropped|error)\\b"));
    const qsizetype from = m_lines.size();
    m_process.write(line.toUtf8() + '\n');
    m_process.waitForBytesWritten(1000);
    QString reply;
    (void)QTest::qWaitFor(
        [&] {
            for (qsizetype i = from; i < m_lines.size(); ++i) {
                if (answer.match(m_lines[i]).hasMatch()) {
                    reply = m_lines[i];
                    return true;
                }
            }
            return false;
        },
        5000);
    return reply;
}

QList<int> ModbusServerProcess::values(int unit, char area, int address, int count)
{
    const QString reply =
        ask(QStringLiteral("get %1 %2 %3 %4").arg(unit).arg(QLatin1Char(area)).arg(address).arg(count));
    QList<int> out;
    if (!reply.startsWith(QLatin1String("values")))
        return out;
    const QStringList words = reply.split(QLatin1Char(' '), Qt::SkipEmptyParts).mid(1);
    for (const QString &w : words)
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

QStringList ModbusServerProcess::linesMatching(const QString &pattern, int from) const
{
    return m_lines.mid(from).filter(QRegularExpression(pattern));
}

void ModbusServerProcess::readOutput()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype nl;
    while ((nl = m_partial.indexOf('\n')) >= 0) {
        m_lines << QString::fromUtf8(m_partial.left(nl));
        m_partial.remove(0, nl + 1);
    }
}

void ModbusServerProcess::pause(bool paused)
{
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), paused ? SIGSTOP : SIGCONT);
}

void ModbusServerProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    pause(false);
    m_process.kill();
    m_process.waitForFinished(5000);
}
