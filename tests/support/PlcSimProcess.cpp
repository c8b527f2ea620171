#include "PlcSimProcess.h"

#include <QTest>

#include <csignal>

PlcSimProcess::PlcSimProcess(QObject *parent) : QObject(parent)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &PlcSimProcess::readOutput);
}

PlcSimProcess::~PlcSimProcess()
{
    kill();
}

QString PlcSimProcess::program()
{
    QByteArray dir = qgetenv("KAVETTA_BINARY_DIR");
    if (dir.isEmpty())
        dir = KAVETTA_BINARY_DIR;
    return QString::fromLocal8Bit(dir) + QStringLiteral("/tools/plcsim/plcsim");
}

bool PlcSimProcess::start(const QStringList &args, quint16 port)
{
    m_lines.clear();
    m_partial.clear();
    m_process.start(program(),
                    QStringList{QStringLiteral("serve"), QStringLiteral("--port"), QString::number(port)} +
                        args);
    if (!m_process.waitForStarted(5000))
        return false;
    QString line;
    if (!waitForLine(QRegularExpression(QStringLiteral("^listening .*port=(\\d+)")), 5000, &line))
        return false;
    m_port = quint16(QRegularExpression(QStringLiteral("port=(\\d+)")).match(line).captured(1).toUInt());
    return m_port != 0;
}

void PlcSimProcess::command(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
    m_process.waitForBytesWritten(1000);
}

void PlcSimProcess::readOutput()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype nl;
    while ((nl = m_partial.indexOf('\n')) >= 0) {
        m_lines << QString::fromUtf8(m_partial.left(nl));
        m_partial.remove(0, nl + 1);
    }
}

bool PlcSimProcess::waitForLine(const QRegularExpression &re, int timeoutMs, QString *line, int from)
{
    auto found = [&] {
        for (int i = from; i < m_lines.size(); ++i) {
            if (re.match(m_lines[i]).hasMatch()) {
                if (line)
                    *line = m_lines[i];
                return true;
            }
        }
        return false;
    };
    return QTest::qWaitFor(found, timeoutMs);
}

void PlcSimProcess::pause()
{
    if (m_process.state() == QProcess::Running) {
        ::kill(pid_t(m_process.processId()), SIGSTOP);
        m_paused = true;
    }
}

void PlcSimProcess::resume()
{
    if (m_paused && m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), SIGCONT);
    m_paused = false;
}

void PlcSimProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    resume();
    m_process.kill();
    m_process.waitForFinished(5000);
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
