#include "journal/SqliteJournal.h"

#include "common/Clock.h"

#include <QFile>

#include <sqlite3.h>

namespace
{

const char *const Schema = "CREATE TABLE IF NOT EXISTS items ("
                           " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                           " queue INTEGER NOT NULL," // 0 send, 1 receive
                           " text TEXT NOT NULL,"
                           " taken_ms INTEGER NOT NULL," // wall clock, ms since the epoch
                           " handed INTEGER NOT NULL DEFAULT 0)";

// Bound without a copy: the text outlives the step, and step() clears the bindings after it (an
// item may be a label of megabytes).
void bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    sqlite3_bind_text16(statement, index, text.utf16(), int(text.size() * sizeof(char16_t)), SQLITE_STATIC);
}

} // namespace

SqliteJournal::~SqliteJournal()
{
    close();
}

void SqliteJournal::close()
{
    for (sqlite3_stmt **s : {&m_insert, &m_delete, &m_handed, &m_deleteQueue}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
}

bool SqliteJournal::exec(const char *sql)
{
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SqliteJournal::open(const QString &file, QString *error)
{
    close();
    m_file = file;
    m_syncFull = false;
    m_leftovers.clear();
    m_ids[Send].clear();
    m_ids[Receive].clear();
    const auto fail = [&](const QString &what) {
        *error = what + QStringLiteral(": ") +
                 (m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory"));
        close();
        return false;
    };
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return fail(QStringLiteral("cannot open"));
    sqlite3_busy_timeout(m_db, 1000);
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL") || !exec(Schema))
        return fail(QStringLiteral("cannot set up"));
    // A file or folder the process may not write is opened for reading without a word: a write
    // now tells, not the first item later.
    if (sqlite3_db_readonly(m_db, "main") != 0 || !exec("PRAGMA user_version = 1"))
        return fail(QStringLiteral("cannot write"));
    const struct {
        sqlite3_stmt **statement;
        const char *sql;
    } statements[] = {
        {&m_insert, "INSERT INTO items (queue, text, taken_ms) VALUES (?, ?, ?)"},
        {&m_delete, "DELETE FROM items WHERE id = ?"},
        {&m_handed, "UPDATE items SET handed = ? WHERE id = ?"},
        {&m_deleteQueue, "DELETE FROM items WHERE queue = ?"},
    };
    for (const auto &[statement, sql] : statements) {
        if (sqlite3_prepare_v2(m_db, sql, -1, statement, nullptr) != SQLITE_OK)
            return fail(QStringLiteral("cannot prepare"));
    }
    sqlite3_stmt *select = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT id, queue, text, taken_ms, handed FROM items ORDER BY id", -1,
                           &select, nullptr) != SQLITE_OK)
        return fail(QStringLiteral("cannot read"));
    while (sqlite3_step(select) == SQLITE_ROW) {
        const auto *text = static_cast<const char16_t *>(sqlite3_column_text16(select, 2));
        const int bytes = sqlite3_column_bytes16(select, 2);
        m_leftovers.append(Item{sqlite3_column_int64(select, 0),
                                sqlite3_column_int(select, 1) == Receive ? Receive : Send,
                                QString::fromUtf16(text, bytes / qsizetype(sizeof(char16_t))),
                                sqlite3_column_int64(select, 3), sqlite3_column_int(select, 4) != 0});
    }
    sqlite3_finalize(select);
    return true;
}

bool SqliteJournal::step(sqlite3_stmt *statement, bool durable)
{
    if (durable != m_syncFull && exec(durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL"))
        m_syncFull = durable;
    const int result = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    const bool ok = result == SQLITE_DONE;
    // On a full disk a removal may still succeed where an addition cannot: only an item added
    // says the journal is written again, so that one failure is said once, not once per item.
    if (ok == !m_failing || (ok && statement != m_insert))
        return ok;
    m_failing = !ok;
    if (onWriteProblem)
        onWriteProblem(ok ? QString() : QString::fromUtf8(sqlite3_errmsg(m_db)));
    return ok;
}

void SqliteJournal::appended(Queue queue, const QString &text, qint64 takenMs)
{
    if (!m_db)
        return;
    sqlite3_bind_int(m_insert, 1, queue);
    bindText(m_insert, 2, text);
    sqlite3_bind_int64(m_insert, 3, takenMs != 0 ? takenMs : currentDateTime().toMSecsSinceEpoch());
    m_ids[queue].push_back(step(m_insert, queue == Send) ? sqlite3_last_insert_rowid(m_db) : 0);
}

void SqliteJournal::removedFirst(Queue queue)
{
    if (!m_db || m_ids[queue].empty())
        return;
    const qint64 id = m_ids[queue].front();
    m_ids[queue].pop_front();
    if (id != 0)
        forget(id);
}

void SqliteJournal::forget(qint64 id)
{
    sqlite3_bind_int64(m_delete, 1, id);
    step(m_delete);
}

void SqliteJournal::cleared(Queue queue)
{
    if (!m_db)
        return;
    m_ids[queue].clear();
    sqlite3_bind_int(m_deleteQueue, 1, queue);
    step(m_deleteQueue);
}

void SqliteJournal::handingOver(Queue queue)
{
    markFirst(queue, true);
}

void SqliteJournal::handOverWithdrawn(Queue queue)
{
    markFirst(queue, false);
}

void SqliteJournal::markFirst(Queue queue, bool handed)
{
    if (!m_db || m_ids[queue].empty() || m_ids[queue].front() == 0)
        return;
    sqlite3_bind_int(m_handed, 1, handed ? 1 : 0);
    sqlite3_bind_int64(m_handed, 2, m_ids[queue].front());
    step(m_handed, handed && queue == Send);
}

void SqliteJournal::requeued(const Item &item)
{
    if (!m_db)
        return;
    if (item.handedOver) {
        sqlite3_bind_int(m_handed, 1, 0);
        sqlite3_bind_int64(m_handed, 2, item.id);
        step(m_handed);
    }
    m_ids[item.queue].push_back(item.id);
}
