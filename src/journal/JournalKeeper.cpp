#include "journal/JournalKeeper.h"

#include "common/Clock.h"
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/StatusLine.h"

#include <QFile>
#include <QFileInfo>

namespace
{

// An item's text in its log record: enough to find the job, not a whole label.
constexpr qsizetype LoggedLength = 500;

QString loggedText(const QString &text)
{
    return text.size() > LoggedLength
               ? text.left(LoggedLength) + QStringLiteral("... (%1 characters)").arg(text.size())
               : text;
}

void removeJournalFiles(const QString &file)
{
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(file + QLatin1String(suffix));
}

} // namespace

JournalKeeper::JournalKeeper(GatewayState &state, LogWriter &log) : m_state(state), m_log(log)
{
    m_journal.onWriteProblem = [this](const QString &problem) {
        m_state.journalProblem =
            problem.isEmpty() ? QString() : QStringLiteral("cannot be written (%1)").arg(problem);
        m_log.writeLog(
            statusLine(problem.isEmpty()
                           ? QStringLiteral("Journal %1 is written again").arg(m_journal.file())
                           : QStringLiteral("Journal %1 cannot be written (%2): queued items are not "
                                            "kept on disk until it can be written again")
                                 .arg(m_journal.file(), problem)),
            true);
    };
}

QString JournalKeeper::fileFor(const QString &configFile)
{
    const QFileInfo info(configFile);
    return info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".journal");
}

void JournalKeeper::apply(const JournalOptions &options, const QString &configFile)
{
    m_options = options;
    const QString file = configFile.isEmpty() ? QString() : fileFor(configFile);
    if (m_journal.isOpen() && (!options.enabled || file != m_journal.file())) {
        m_state.journal = nullptr;
        m_journal.close();
        removeJournalFiles(m_journal.file());
    }
    if (!options.enabled || file.isEmpty()) {
        m_state.journalProblem.clear();
        m_problem.clear();
        m_failedFile.clear();
        return;
    }
    if (m_journal.isOpen())
        return;
    QString error;
    if (!m_journal.open(file, &error)) {
        m_state.journalProblem = QStringLiteral("cannot be used (%1)").arg(error);
        // Said once, not again at every reading of the options while it stays unusable.
        if (file != std::exchange(m_failedFile, file))
            m_problem = QStringLiteral("Journal %1 cannot be used (%2): queued items are not kept on disk")
                            .arg(file, error);
        return;
    }
    m_failedFile.clear();
    m_state.journalProblem.clear();
    m_state.journal = &m_journal;
    for (const QString &item : std::as_const(m_state.sendQueue))
        m_journal.appended(QueueJournal::Send, item);
    for (const QString &item : std::as_const(m_state.receiveQueue))
        m_journal.appended(QueueJournal::Receive, item);
}

bool JournalKeeper::settle()
{
    if (!m_problem.isEmpty()) {
        // One record: the log and the event log; the error label and /status show it meanwhile.
        m_state.setLblError(statusLine(m_problem));
        m_log.writeLog(m_state.lblError, true);
        m_problem.clear();
    }
    const QList<SqliteJournal::Item> leftovers = m_journal.leftovers();
    if (leftovers.isEmpty())
        return false;
    m_journal.clearLeftovers();

    const qint64 now = currentDateTime().toMSecsSinceEpoch();
    const qint64 replayMs = qint64(m_options.replayMaxAgeSec) * 1000;
    int replayed = 0;
    bool answers = false;
    for (const SqliteJournal::Item &item : leftovers) {
        const bool request = item.queue == QueueJournal::Send;
        const qint64 age = now - item.takenMs;
        // A clock stepped back makes the age unknown: such an item is not sent again.
        const bool replay = replayMs > 0 && age >= 0 && age <= replayMs;
        const QDateTime taken = QDateTime::fromMSecsSinceEpoch(item.takenMs);
        QString text = QStringLiteral("Journal: ") +
                       (replay ? QStringLiteral("replayed ") : QStringLiteral("dropped ")) +
                       (request ? QStringLiteral("request") : QStringLiteral("answer")) +
                       QStringLiteral(" of an earlier run, taken ") + shortDateText(taken.date()) +
                       QLatin1Char(' ') + longTimeText(taken.time());
        if (item.handedOver)
            text += request ? QStringLiteral(", on the wire when the gateway stopped (the peer may have it)")
                            : QStringLiteral(", on the wire when the gateway stopped (the PLC may have it)");
        const QString line = statusLine(text + QStringLiteral(": ") + loggedText(item.text));
        // One not sent again leaves its queue unserved: a warning, not an information entry.
        if (replay)
            m_log.writeLog(line, true);
        else
            m_log.writeDrop(line);
        if (replay) {
            // At the end of its queue, as when it was taken; its row stays.
            (request ? m_state.sendQueue : m_state.receiveQueue).append(item.text);
            m_journal.requeued(item);
            m_state.counters.replayed();
            ++replayed;
            answers = answers || !request;
        } else {
            m_journal.forget(item.id);
            m_state.counters.dropped(LineCounters::Drop::EarlierRun);
        }
    }
    m_log.writeLog(statusLine(QStringLiteral("Journal %1: %2 items of an earlier run, %3 queued again, %4 "
                                             "reported and dropped")
                                  .arg(m_journal.file())
                                  .arg(leftovers.size())
                                  .arg(replayed)
                                  .arg(leftovers.size() - replayed)),
                   true);
    m_state.notify();
    return answers;
}
