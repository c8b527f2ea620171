#include "labels/MdbPrintData.h"

#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/StatusLine.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <optional>

#include <sys/stat.h>

// glib first: mdbtools.h includes it inside its own extern "C" block, where glib's C++ parts
// do not compile.
#include <glib.h>
#include <mdbtools.h>

QString druckDataQuery(const QString &los, qint16 teil)
{
    return QStringLiteral("Select * from Druckdaten where LosName='") + los +
           QStringLiteral("' and TeileNr=") + QString::number(teil);
}

namespace
{

struct Selection {
    QByteArray table;
    QString lot;
    qint64 part = 0;
};

// The statement taken apart again: the form druckDataQuery builds, keywords in any letter case.
// A quote inside the lot name ends the text literal early, and the rest no longer parses.
std::optional<Selection> parseSelection(const QString &statement)
{
    static const QRegularExpression form(
        QStringLiteral(R"(\Aselect \* from (\w+) where LosName='([^']*)' and TeileNr=(-?\d{1,10})\z)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(statement);
    if (!m.hasMatch())
        return std::nullopt;
    return Selection{m.captured(1).toUtf8(), m.captured(2), m.captured(3).toLongLong()};
}

struct HandleCloser {
    void operator()(MdbHandle *mdb) const { mdb_close(mdb); }
};
struct TableFree {
    void operator()(MdbTableDef *table) const { mdb_free_tabledef(table); }
};
struct GFree {
    void operator()(char *text) const { g_free(text); }
};
using Handle = std::unique_ptr<MdbHandle, HandleCloser>;
using Table = std::unique_ptr<MdbTableDef, TableFree>;
using GText = std::unique_ptr<char, GFree>;

MdbColumn *findColumn(MdbTableDef *table, const char *name)
{
    for (guint i = 0; i < table->num_cols; ++i) {
        auto *col = static_cast<MdbColumn *>(g_ptr_array_index(table->columns, i));
        if (g_ascii_strcasecmp(col->name, name) == 0)
            return col;
    }
    return nullptr;
}

// The stored length of the current row's memo (the low 24 bits of the memo header; the library
// handles no longer memo); the value's own length for any other column.
qint64 storedLength(MdbHandle *mdb, MdbColumn *col)
{
    if (col->col_type == MDB_MEMO && col->cur_value_len >= MDB_MEMO_OVERHEAD)
        return static_cast<quint32>(mdb_get_int32(mdb->pg_buf, col->cur_value_start)) & 0x00FFFFFFu;
    return std::max(col->cur_value_len, 0);
}

// The current row's value as text; NULL reads as an empty text.
QString columnText(MdbHandle *mdb, MdbColumn *col)
{
    if (col->cur_value_len <= 0)
        return {};
    const size_t defaultSize = mdb->bind_size;
    if (col->col_type == MDB_MEMO && col->cur_value_len >= MDB_MEMO_OVERHEAD) {
        // The library converts a memo into a buffer of bind_size bytes and cuts it there without
        // a word. Size that buffer from the stored length: a stored byte becomes at most two
        // UTF-8 bytes.
        mdb_set_bind_size(mdb, std::max<size_t>(defaultSize, size_t(storedLength(mdb, col)) * 2 + 16));
    }
    const GText text(
        mdb_col_to_string(mdb, mdb->pg_buf, col->cur_value_start, col->col_type, col->cur_value_len));
    mdb_set_bind_size(mdb, defaultSize);
    return text ? QString::fromUtf8(text.get()) : QString();
}

bool partMatches(MdbHandle *mdb, MdbColumn *col, qint64 part)
{
    if (col->cur_value_len <= 0)
        return false;
    switch (col->col_type) {
    case MDB_BYTE:
        return mdb_get_byte(mdb->pg_buf, col->cur_value_start) == part;
    case MDB_INT:
        return qint16(mdb_get_int16(mdb->pg_buf, col->cur_value_start)) == part;
    case MDB_LONGINT:
        return qint32(mdb_get_int32(mdb->pg_buf, col->cur_value_start)) == part;
    default: {
        bool ok = false;
        const double value = columnText(mdb, col).toDouble(&ok);
        return ok && value == double(part);
    }
    }
}

// The print data of the first selected row; when that is empty, of the second one. Print data
// longer than MaxPrintDataBytes is not read: refused says why.
QString selectPrintData(MdbHandle *mdb, MdbTableDef *table, const Selection &selection, QString &refused)
{
    MdbColumn *lotCol = findColumn(table, "LosName");
    MdbColumn *partCol = findColumn(table, "TeileNr");
    MdbColumn *dataCol = findColumn(table, "TintenDruckdaten");
    if (!lotCol || !partCol || !dataCol)
        return {};

    mdb_rewind_table(table);
    bool firstSeen = false;
    while (mdb_fetch_row(table)) {
        if (!partMatches(mdb, partCol, selection.part))
            continue;
        if (columnText(mdb, lotCol).compare(selection.lot, Qt::CaseInsensitive) != 0)
            continue;
        if (const qint64 length = storedLength(mdb, dataCol); length > MdbPrintData::MaxPrintDataBytes) {
            refused = QStringLiteral("Print data too large: %1/%2 (%3 bytes, at most %4)")
                          .arg(selection.lot)
                          .arg(selection.part)
                          .arg(length)
                          .arg(MdbPrintData::MaxPrintDataBytes);
            return {};
        }
        QString data = columnText(mdb, dataCol);
        if (firstSeen || !data.isEmpty())
            return data;
        firstSeen = true;
    }
    return {};
}

// What identifies one version of a file: device, inode, size, modification and change times.
struct FileStamp {
    qint64 fields[7] = {};
    qint64 newest = 0; // the later of the two times, in nanoseconds since the epoch
    bool operator==(const FileStamp &o) const { return std::equal(fields, fields + 7, o.fields); }
};

std::optional<FileStamp> fileStamp(const QString &path)
{
    struct stat st {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    FileStamp s{{qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size), qint64(st.st_mtim.tv_sec),
                 qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec), qint64(st.st_ctim.tv_nsec)}};
    s.newest = std::max(s.fields[3] * 1000000000 + s.fields[4], s.fields[5] * 1000000000 + s.fields[6]);
    return s;
}

// The database file opened and its catalog read; no handle when that failed, which is reported.
Handle openDatabase(GatewayState &state, LogWriter &log, const QString &path)
{
    // Anything but a readable plain file fails before the library sees it: it would block on a
    // pipe and print its own complaint about a missing file.
    const QFileInfo info(path);
    Handle mdb;
    if (info.isFile() && info.isReadable())
        mdb.reset(mdb_open(QFile::encodeName(path).constData(), MDB_NOFLAGS));
    // A file whose catalog cannot be read is no database either (an empty or cut-off file).
    if (!mdb || !mdb_read_catalog(mdb.get(), MDB_TABLE) || mdb->num_catalog == 0) {
        const QString caption = statusLine(QStringLiteral("Error open Database:") + path);
        state.setLblError(caption);
        log.writeLog(caption, false);
        return {};
    }
    return mdb;
}

qint64 wallClockNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

// The database kept open between lookups. File times have the resolution of the kernel's clock
// tick, so a file written twice within one tick can keep its stamp; a file changed shortly
// before it was opened is therefore opened afresh at the next lookup, and only a file that has
// stood still for a while is trusted to be unchanged while its stamp is.
struct MdbPrintData::OpenDatabase {
    static constexpr qint64 SettledNs = 2000000000;

    QString path;
    FileStamp stamp;
    bool settled = false;
    Handle mdb;
    std::map<QByteArray, Table> tables; // freed before the handle closes

    MdbTableDef *table(const QByteArray &name)
    {
        auto it = tables.find(name);
        if (it == tables.end()) {
            MdbCatalogEntry *entry = mdb_get_catalogentry_by_name(mdb.get(), name.constData());
            Table t(entry && entry->object_type == MDB_TABLE ? mdb_read_table(entry) : nullptr);
            if (t && !mdb_read_columns(t.get()))
                t.reset();
            it = tables.emplace(name, std::move(t)).first;
        }
        return it->second.get();
    }
};

MdbPrintData::MdbPrintData(GatewayState &state, LogWriter &log) : m_state(state), m_log(log)
{
}

QString MdbPrintData::databasePath() const
{
    return m_state.settings.serverPath + QStringLiteral("/System/prog.mdb");
}

MdbPrintData::~MdbPrintData() = default;

QString MdbPrintData::getDruckData(const QString &los, qint16 teil)
{
    m_refusal.clear();
    const QString path = databasePath();
    const std::optional<FileStamp> stamp = fileStamp(path);
    if (!m_open || !m_open->settled || !stamp || !(m_open->stamp == *stamp) || m_open->path != path) {
        m_open.reset();
        Handle mdb = openDatabase(m_state, m_log, path);
        if (!mdb)
            return {};
        m_open = std::make_unique<OpenDatabase>();
        m_open->path = path;
        m_open->stamp = stamp.value_or(FileStamp{});
        m_open->settled = stamp && wallClockNs() - stamp->newest > OpenDatabase::SettledNs;
        m_open->mdb = std::move(mdb);
    }

    const std::optional<Selection> selection = parseSelection(druckDataQuery(los, teil));
    if (!selection)
        return {};
    MdbTableDef *table = m_open->table(selection->table);
    return table ? selectPrintData(m_open->mdb.get(), table, *selection, m_refusal) : QString();
}
