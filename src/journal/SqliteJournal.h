#pragma once

#include "common/QueueJournal.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>

struct sqlite3;
struct sqlite3_stmt;

// The gateway's queues on disk: an SQLite database in WAL mode, one row per queued item, every
// change its own transaction. A commit is in the operating system's hands when the call returns,
// so nothing is lost when the process dies. Two kinds of change are also flushed to the disk
// before the call returns (synchronous FULL), so that they survive a power loss too: a new
// request (before the request cycle resets ".anford") and the mark of an item going out to the
// peer. The other changes (removals, answers) are flushed with the next of those: the log is
// written in order, so whatever survives a power loss is a state the gateway passed through.
// A SQLite database rather than a file format of our own: it keeps its promise through power
// loss and partial writes, and a service engineer can look into it with the sqlite3 tool.
class SqliteJournal : public QueueJournal
{
public:
    struct Item {
        qint64 id;
        Queue queue;
        QString text;
        qint64 takenMs;  // wall clock, milliseconds since the epoch
        bool handedOver; // to the peer or into ".RecData" when the process ended
    };

    SqliteJournal() = default;
    ~SqliteJournal() override;
    SqliteJournal(const SqliteJournal &) = delete;
    SqliteJournal &operator=(const SqliteJournal &) = delete;

    // Opens or creates the journal; what an earlier run left in it becomes leftovers(). False
    // with the reason when it cannot be used.
    bool open(const QString &file, QString *error);
    const QString &file() const { return m_file; }
    bool isOpen() const { return m_db != nullptr; }
    void close();

    // Items an earlier run left, oldest first; each is settled by forget or requeued.
    const QList<Item> &leftovers() const { return m_leftovers; }
    void forget(qint64 id);
    // The item stands at the end of its queue again (appended there by the caller).
    void requeued(const Item &item);
    void clearLeftovers() { m_leftovers.clear(); }

    // Called once per run of failed writes with the reason, and with an empty text when writing
    // works again.
    std::function<void(const QString &problem)> onWriteProblem;

    void appended(Queue queue, const QString &text, qint64 takenMs = 0) override;
    void removedFirst(Queue queue) override;
    void cleared(Queue queue) override;
    void handingOver(Queue queue) override;
    void handOverWithdrawn(Queue queue) override;

private:
    bool exec(const char *sql);
    // durable: flushed to the disk before it returns.
    bool step(sqlite3_stmt *statement, bool durable = false);
    // The mark of the first item of a queue (handed over or not).
    void markFirst(Queue queue, bool handed);

    QString m_file;
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_insert = nullptr;
    sqlite3_stmt *m_delete = nullptr;
    sqlite3_stmt *m_handed = nullptr;
    sqlite3_stmt *m_deleteQueue = nullptr;
    // Row ids of the items in each queue, in queue order; 0 for one whose row could not be written.
    std::deque<qint64> m_ids[2];
    QList<Item> m_leftovers;
    bool m_failing = false;
    bool m_syncFull = false;
};
