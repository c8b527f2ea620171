#include "PlcSimProcess.h"

#include <QRegularExpression>
#include <QTest>

#include <csignal>

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
    if (!m_process.waitForStarted(5000)) {
        qWarning("%s: %s (build the plcsim target first)", qPrintable(program()),
                 qPrintable(m_process.errorString()));
        return false;
    }
    if (!waitForLine(QStringLiteral("^listening .*port=\\d+")))
        return false;
    m_port = quint16(
        QRegularExpression(QStringLiteral("port=(\\d+)")).match(m_lines.first()).captured(1).toUInt());
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

bool PlcSimProcess::waitForLine(const QString &pattern, int timeoutMs, int from)
{
    const QRegularExpression re(pattern);
    return QTest::qWaitFor([&] { return !m_lines.mid(from).filter(re).isEmpty(); }, timeoutMs);
}

void PlcSimProcess::pause(bool paused)
{
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), paused ? SIGSTOP : SIGCONT);
}

void PlcSimProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    pause(false);
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
