#include "ConsoleProcess.h"

#include <QRegularExpression>
#include <QTest>

#include <csignal>

ConsoleProcess::ConsoleProcess()
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
        m_partial += m_process.readAllStandardOutput();
        for (qsizetype nl; (nl = m_partial.indexOf('\n')) >= 0; m_partial.remove(0, nl + 1))
            m_lines << QString::fromUtf8(m_partial.left(nl));
    });
}

bool ConsoleProcess::launch(const QString &program, const QStringList &args, int timeoutMs)
{
    kill();
    m_lines.clear();
    m_partial.clear();
    m_port = 0;
    m_process.start(program, args);
    if (!m_process.waitForStarted(5000)) {
        qWarning("cannot start %s: %s", qPrintable(program), qPrintable(m_process.errorString()));
        return false;
    }
    const QString listening = QStringLiteral("^listening\\b.*\\bport=(\\d+)");
    if (!waitForLine(listening, timeoutMs))
        return false;
    m_port =
        quint16(QRegularExpression(listening).match(linesMatching(listening).first()).captured(1).toUInt());
    return m_port != 0;
}

QStringList ConsoleProcess::linesMatching(const QString &pattern, int from) const
{
    return m_lines.mid(from).filter(QRegularExpression(pattern));
}

bool ConsoleProcess::waitForLine(const QString &pattern, int timeoutMs, int from) const
{
    return QTest::qWaitFor([&] { return !linesMatching(pattern, from).isEmpty(); }, timeoutMs);
}

void ConsoleProcess::command(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
    m_process.waitForBytesWritten(1000);
}

void ConsoleProcess::pause(bool paused)
{
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), paused ? SIGSTOP : SIGCONT);
}

void ConsoleProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    pause(false);
    m_process.kill();
    m_process.waitForFinished(5000);
}
