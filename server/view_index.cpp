#include "server/view_index.h"

#include "base/logger.h"
#include "server/server_paths.h"
#include "store/sqlite_util.h"
#include "store/wal_batch_vfs.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO meta VALUES('last_sync_id', 0), ('schema', 1);"
    "CREATE TABLE IF NOT EXISTS entries(path BLOB PRIMARY KEY, parent BLOB NOT NULL, is_dir INTEGER NOT NULL,"
    " is_removed INTEGER NOT NULL, sync_id INTEGER NOT NULL, max_id INTEGER NOT NULL, size INTEGER NOT NULL,"
    " hash TEXT NOT NULL, mtime INTEGER NOT NULL, exec_bit INTEGER NOT NULL, file_id INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE UNIQUE INDEX IF NOT EXISTS entries_sync ON entries(sync_id);"
    "CREATE INDEX IF NOT EXISTS entries_parent ON entries(parent, sync_id);"
    "CREATE INDEX IF NOT EXISTS entries_file ON entries(file_id);"
    "CREATE TABLE IF NOT EXISTS versions(path BLOB NOT NULL, sync_id INTEGER NOT NULL, file_id INTEGER NOT NULL,"
    " size INTEGER NOT NULL, hash TEXT NOT NULL, mtime INTEGER NOT NULL, exec_bit INTEGER NOT NULL,"
    " PRIMARY KEY(path, sync_id)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS versions_file ON versions(file_id);"
    "CREATE TABLE IF NOT EXISTS contents(file_id INTEGER PRIMARY KEY AUTOINCREMENT, hash TEXT NOT NULL,"
    " size INTEGER NOT NULL, data BLOB);"
    "CREATE INDEX IF NOT EXISTS contents_hash ON contents(hash, size);"
    "CREATE TABLE IF NOT EXISTS tokens(token TEXT PRIMARY KEY, created INTEGER NOT NULL, used INTEGER NOT NULL,"
    " kind INTEGER NOT NULL, path BLOB NOT NULL, committed INTEGER NOT NULL, held INTEGER NOT NULL,"
    " sync_id INTEGER NOT NULL, max_id INTEGER NOT NULL, is_dir INTEGER NOT NULL, file_id INTEGER NOT NULL,"
    " refer INTEGER NOT NULL, is_delta INTEGER NOT NULL, payload TEXT NOT NULL, payload_size INTEGER NOT NULL,"
    " size INTEGER NOT NULL, hash TEXT NOT NULL, mtime INTEGER NOT NULL, exec_bit INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS tokens_used ON tokens(used);";

#define ENTRY_COLUMNS "path, is_dir, is_removed, sync_id, max_id, size, hash, mtime, exec_bit, file_id"

void BindBlob(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_blob(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}
using tw_store::bind_text;
using tw_store::bind_u64;
using tw_store::column_u64;
std::string ColumnBytes(sqlite3_stmt* s, int col) {
    const void* p = sqlite3_column_blob(s, col);
    int n = sqlite3_column_bytes(s, col);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

void ReadEntry(sqlite3_stmt* s, Entry& e) {
    e.path = ColumnBytes(s, 0);
    e.is_dir = sqlite3_column_int(s, 1) != 0;
    e.is_removed = sqlite3_column_int(s, 2) != 0;
    e.sync_id = column_u64(s, 3);
    e.max_id = column_u64(s, 4);
    e.size = column_u64(s, 5);
    e.hash = ColumnBytes(s, 6);
    e.mtime = column_u64(s, 7);
    e.exec_bit = static_cast<uint32_t>(sqlite3_column_int64(s, 8));
    e.file_id = column_u64(s, 9);
}

}  // namespace

ViewIndex::~ViewIndex() {
    Close();
}

void ViewIndex::Close() {
    // Every prepared statement is finalised, not only the cached ones: a
    // connection with one left cannot close and would stay open for good.
    if (db_) {
        for (sqlite3_stmt* s = sqlite3_next_stmt(db_, nullptr); s != nullptr; s = sqlite3_next_stmt(db_, nullptr)) {
            sqlite3_finalize(s);
        }
        if (sqlite3_close(db_) != SQLITE_OK) TW_ERROR(kComponent, "index: cannot close: %s\n", sqlite3_errmsg(db_));
    }
    db_ = nullptr;
    sqlite3_stmt** all[] = {&get_,
                            &put_,
                            &raise_max_,
                            &next_id_,
                            &last_id_,
                            &live_below_,
                            &live_above_,
                            &scan_range_,
                            &scan_range_live_,
                            &scan_children_,
                            &scan_children_live_,
                            &scan_live_,
                            &get_version_,
                            &push_version_,
                            &old_versions_,
                            &delete_version_,
                            &find_content_,
                            &get_content_,
                            &add_content_,
                            &add_content_id_,
                            &content_data_,
                            &content_ref_,
                            &delete_content_,
                            &content_ids_,
                            &get_token_,
                            &put_token_,
                            &delete_token_,
                            &tokens_before_,
                            &token_count_};
    for (sqlite3_stmt** s : all) *s = nullptr;
}

int ViewIndex::Fail(const char* what) {
    last_error_ = std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : "no database");
    TW_ERROR(kComponent, "index: %s\n", last_error_.c_str());
    return -1;
}

int ViewIndex::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        last_error_ = message ? message : "sqlite3_exec failed";
        sqlite3_free(message);
        TW_ERROR(kComponent, "index: %s\n", last_error_.c_str());
        return -1;
    }
    return 0;
}

sqlite3_stmt* ViewIndex::Prepare(sqlite3_stmt*& slot, const char* sql) {
    if (slot == nullptr && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK) {
        Fail(sql);
        slot = nullptr;
    }
    return slot;
}

int ViewIndex::Open(const std::string& file, bool durable, bool read_only, std::string& error) {
    Close();
    int flags = read_only ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    const char* vfs = read_only ? nullptr : tw_store::wal_batch_vfs();
    if (sqlite3_open_v2(file.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, vfs) != SQLITE_OK) {
        error = std::string("cannot open ") + file + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        Close();
        return -1;
    }
    sqlite3_busy_timeout(db_, 10000);
    if (!read_only) {
        std::string pragmas =
            std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") + (durable ? "FULL" : "OFF") + ";";
        if (Exec(pragmas.c_str()) != 0 || Exec(kSchema) != 0) {
            error = "cannot set up " + file + ": " + last_error_;
            Close();
            return -1;
        }
    }
    return 0;
}

int ViewIndex::Begin() {
    return Exec("BEGIN IMMEDIATE");
}

int ViewIndex::BeginRead() {
    return Exec("BEGIN");
}

int ViewIndex::Commit() {
    return Exec("COMMIT");
}

void ViewIndex::Rollback() {
    if (db_ && !sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
}

int ViewIndex::Get(const std::string& path, Entry& entry) {
    sqlite3_stmt* s = Prepare(get_, "SELECT " ENTRY_COLUMNS " FROM entries WHERE path = ?1");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    BindBlob(s, 1, path);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        ReadEntry(s, entry);
        return 1;
    }
    return rc == SQLITE_DONE ? 0 : Fail("get entry");
}

int ViewIndex::Put(const Entry& e) {
    sqlite3_stmt* s = Prepare(put_,
                              "INSERT OR REPLACE INTO entries(path, parent, is_dir, is_removed, sync_id, max_id, size,"
                              " hash, mtime, exec_bit, file_id) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    BindBlob(s, 1, e.path);
    BindBlob(s, 2, ParentOf(e.path));
    sqlite3_bind_int(s, 3, e.is_dir ? 1 : 0);
    sqlite3_bind_int(s, 4, e.is_removed ? 1 : 0);
    bind_u64(s, 5, e.sync_id);
    bind_u64(s, 6, e.max_id);
    bind_u64(s, 7, e.size);
    bind_text(s, 8, e.hash);
    bind_u64(s, 9, e.mtime);
    bind_u64(s, 10, e.exec_bit);
    bind_u64(s, 11, e.file_id);
    return sqlite3_step(s) == SQLITE_DONE ? 0 : Fail("put entry");
}

int ViewIndex::RaiseMaxId(const std::string& path, uint64_t id) {
    sqlite3_stmt* s = Prepare(raise_max_, "UPDATE entries SET max_id = ?2 WHERE path = ?1 AND max_id < ?2");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    BindBlob(s, 1, path);
    bind_u64(s, 2, id);
    return sqlite3_step(s) == SQLITE_DONE ? 0 : Fail("raise max id");
}

int ViewIndex::NextSyncId(uint64_t& id) {
    sqlite3_stmt* s = Prepare(next_id_, "UPDATE meta SET value = value + 1 WHERE key = 'last_sync_id' RETURNING value");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    if (sqlite3_step(s) != SQLITE_ROW) return Fail("next sync id");
    id = column_u64(s, 0);
    return sqlite3_step(s) == SQLITE_DONE ? 0 : Fail("next sync id");
}

int ViewIndex::LastSyncId(uint64_t& id) {
    sqlite3_stmt* s = Prepare(last_id_, "SELECT value FROM meta WHERE key = 'last_sync_id'");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    if (sqlite3_step(s) != SQLITE_ROW) return Fail("last sync id");
    id = column_u64(s, 0);
    return 0;
}

int ViewIndex::ReadEntries(sqlite3_stmt* s, const std::function<bool(const Entry&)>& visit) {
    Entry e;
    for (;;) {
        int rc = sqlite3_step(s);
        if (rc == SQLITE_DONE) return 0;
        if (rc != SQLITE_ROW) return Fail("scan entries");
        ReadEntry(s, e);
        if (!visit(e)) return 0;
    }
}

int ViewIndex::LiveBelow(const std::string& folder, std::vector<Entry>& out) {
    sqlite3_stmt* s = Prepare(live_below_, "SELECT " ENTRY_COLUMNS
                                           " FROM entries WHERE path >= ?1 AND path < ?2 AND is_removed = 0"
                                           " ORDER BY path");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    std::string lower, upper;
    BelowRange(folder, lower, upper);
    BindBlob(s, 1, lower);
    BindBlob(s, 2, upper);
    return ReadEntries(s, [&](const Entry& e) {
        if (e.path != folder) out.push_back(e);
        return true;
    });
}

int ViewIndex::HasLiveBelowAbove(const std::string& folder, uint64_t id) {
    sqlite3_stmt* s = Prepare(live_above_,
                              "SELECT 1 FROM entries WHERE path >= ?1 AND path < ?2 AND is_removed = 0 AND sync_id > ?3"
                              " AND path != ?4 LIMIT 1");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    std::string lower, upper;
    BelowRange(folder, lower, upper);
    BindBlob(s, 1, lower);
    BindBlob(s, 2, upper);
    bind_u64(s, 3, id);
    BindBlob(s, 4, folder);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) return 1;
    return rc == SQLITE_DONE ? 0 : Fail("live below");
}

int ViewIndex::ScanChanges(const std::string& folder, bool recursive, uint64_t from, bool live_only,
                           const std::function<bool(const Entry&)>& visit) {
    sqlite3_stmt* s;
    if (recursive) {
        // The sync id index gives the order without sorting the sub-tree;
        // the path range only filters.
        s = live_only ? Prepare(scan_range_live_, "SELECT " ENTRY_COLUMNS
                                                  " FROM entries INDEXED BY entries_sync WHERE sync_id > ?1"
                                                  " AND path > ?2 AND path < ?3 AND is_removed = 0 ORDER BY sync_id")
                      : Prepare(scan_range_, "SELECT " ENTRY_COLUMNS
                                             " FROM entries INDEXED BY entries_sync WHERE sync_id > ?1"
                                             " AND path > ?2 AND path < ?3 ORDER BY sync_id");
    } else {
        s = live_only ? Prepare(scan_children_live_, "SELECT " ENTRY_COLUMNS
                                                     " FROM entries WHERE parent = ?2 AND sync_id > ?1"
                                                     " AND is_removed = 0 ORDER BY sync_id")
                      : Prepare(scan_children_, "SELECT " ENTRY_COLUMNS
                                                " FROM entries WHERE parent = ?2 AND sync_id > ?1 ORDER BY sync_id");
    }
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_u64(s, 1, from);
    if (recursive) {
        std::string lower, upper;
        BelowRange(folder, lower, upper);
        BindBlob(s, 2, lower);
        BindBlob(s, 3, upper);
    } else {
        BindBlob(s, 2, folder);
    }
    return ReadEntries(s, visit);
}

int ViewIndex::ScanLive(const std::function<bool(const Entry&)>& visit) {
    sqlite3_stmt* s = Prepare(scan_live_, "SELECT " ENTRY_COLUMNS " FROM entries WHERE is_removed = 0 ORDER BY path");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    return ReadEntries(s, visit);
}

int ViewIndex::GetVersion(const std::string& path, uint64_t sync_id, Version& out) {
    sqlite3_stmt* s = Prepare(get_version_,
                              "SELECT sync_id, file_id, size, hash, mtime, exec_bit FROM versions"
                              " WHERE path = ?1 AND sync_id = ?2");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    BindBlob(s, 1, path);
    bind_u64(s, 2, sync_id);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        out.sync_id = column_u64(s, 0);
        out.file_id = column_u64(s, 1);
        out.size = column_u64(s, 2);
        out.hash = ColumnBytes(s, 3);
        out.mtime = column_u64(s, 4);
        out.exec_bit = static_cast<uint32_t>(sqlite3_column_int64(s, 5));
        return 1;
    }
    return rc == SQLITE_DONE ? 0 : Fail("get version");
}

int ViewIndex::PushVersion(const std::string& path, const Version& v) {
    sqlite3_stmt* s = Prepare(push_version_,
                              "INSERT OR REPLACE INTO versions(path, sync_id, file_id, size, hash,"
                              " mtime, exec_bit) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    BindBlob(s, 1, path);
    bind_u64(s, 2, v.sync_id);
    bind_u64(s, 3, v.file_id);
    bind_u64(s, 4, v.size);
    bind_text(s, 5, v.hash);
    bind_u64(s, 6, v.mtime);
    bind_u64(s, 7, v.exec_bit);
    return sqlite3_step(s) == SQLITE_DONE ? 0 : Fail("push version");
}

int ViewIndex::TrimVersions(const std::string& path, uint32_t keep, std::vector<uint64_t>& dropped) {
    std::vector<std::pair<uint64_t, uint64_t>> old;  // sync id, file id
    {
        sqlite3_stmt* s =
            Prepare(old_versions_, "SELECT sync_id, file_id FROM versions WHERE path = ?1 ORDER BY sync_id DESC");
        if (!s) return -1;
        tw_store::StatementUse use(s);
        BindBlob(s, 1, path);
        uint32_t seen = 0;
        for (;;) {
            int rc = sqlite3_step(s);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) return Fail("list versions");
            if (++seen > keep) old.emplace_back(column_u64(s, 0), column_u64(s, 1));
        }
    }
    sqlite3_stmt* d = Prepare(delete_version_, "DELETE FROM versions WHERE path = ?1 AND sync_id = ?2");
    if (!d) return -1;
    for (auto& [sync_id, file_id] : old) {
        tw_store::StatementUse use(d);
        BindBlob(d, 1, path);
        bind_u64(d, 2, sync_id);
        if (sqlite3_step(d) != SQLITE_DONE) return Fail("drop version");
        dropped.push_back(file_id);
    }
    return 0;
}

int ViewIndex::DropVersions(const std::string& path, std::vector<uint64_t>& dropped) {
    return TrimVersions(path, 0, dropped);
}

int ViewIndex::FindContent(const std::string& hash, uint64_t size, uint64_t& file_id) {
    sqlite3_stmt* s = Prepare(find_content_, "SELECT file_id FROM contents WHERE hash = ?1 AND size = ?2 LIMIT 1");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_text(s, 1, hash);
    bind_u64(s, 2, size);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        file_id = column_u64(s, 0);
        return 1;
    }
    return rc == SQLITE_DONE ? 0 : Fail("find content");
}

int ViewIndex::GetContent(uint64_t file_id, std::string& hash, uint64_t& size) {
    sqlite3_stmt* s = Prepare(get_content_, "SELECT hash, size FROM contents WHERE file_id = ?1");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_u64(s, 1, file_id);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        hash = ColumnBytes(s, 0);
        size = column_u64(s, 1);
        return 1;
    }
    return rc == SQLITE_DONE ? 0 : Fail("get content");
}

int ViewIndex::AddContent(const std::string& hash, uint64_t size, uint64_t& file_id) {
    sqlite3_stmt* s = Prepare(add_content_, "INSERT INTO contents(hash, size) VALUES(?1, ?2)");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_text(s, 1, hash);
    bind_u64(s, 2, size);
    if (sqlite3_step(s) != SQLITE_DONE) return Fail("add content");
    file_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(db_));
    return 0;
}

int ViewIndex::AddContentWithId(uint64_t file_id, const std::string& hash, uint64_t size, const std::string* data) {
    sqlite3_stmt* s =
        Prepare(add_content_id_, "INSERT INTO contents(file_id, hash, size, data) VALUES(?1, ?2, ?3, ?4)");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_u64(s, 1, file_id);
    bind_text(s, 2, hash);
    bind_u64(s, 3, size);
    if (data != nullptr) {
        // An empty blob, not NULL: NULL means the bytes are in a file.
        sqlite3_bind_blob(s, 4, data->empty() ? "" : data->data(), static_cast<int>(data->size()), SQLITE_TRANSIENT);
    }
    return sqlite3_step(s) == SQLITE_DONE ? 0 : Fail("add content");
}

int ViewIndex::GetContentData(uint64_t file_id, std::string& data) {
    sqlite3_stmt* s = Prepare(content_data_, "SELECT data FROM contents WHERE file_id = ?1 AND data IS NOT NULL");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_u64(s, 1, file_id);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        data = ColumnBytes(s, 0);
        return 1;
    }
    return rc == SQLITE_DONE ? 0 : Fail("content data");
}

int ViewIndex::HighestContentId(uint64_t& file_id) {
    sqlite3_stmt* s = nullptr;
    // AUTOINCREMENT keeps the highest id ever used in sqlite_sequence, so an
    // id is never given twice even after its row went.
    if (sqlite3_prepare_v2(db_,
                           "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'contents'), 0),"
                           " coalesce((SELECT max(file_id) FROM contents), 0))",
                           -1, &s, nullptr) != SQLITE_OK) {
        return Fail("highest content id");
    }
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) file_id = column_u64(s, 0);
    sqlite3_finalize(s);
    return rc == SQLITE_ROW ? 0 : Fail("highest content id");
}

int ViewIndex::ContentReferenced(uint64_t file_id) {
    sqlite3_stmt* s = Prepare(content_ref_,
                              "SELECT EXISTS(SELECT 1 FROM entries WHERE file_id = ?1 AND is_removed = 0)"
                              " OR EXISTS(SELECT 1 FROM versions WHERE file_id = ?1)");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_u64(s, 1, file_id);
    if (sqlite3_step(s) != SQLITE_ROW) return Fail("content referenced");
    return sqlite3_column_int(s, 0) != 0 ? 1 : 0;
}

int ViewIndex::DeleteContent(uint64_t file_id) {
    sqlite3_stmt* s = Prepare(delete_content_, "DELETE FROM contents WHERE file_id = ?1");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_u64(s, 1, file_id);
    return sqlite3_step(s) == SQLITE_DONE ? 0 : Fail("delete content");
}

int ViewIndex::ContentIds(std::set<uint64_t>& out) {
    sqlite3_stmt* s = Prepare(content_ids_, "SELECT file_id FROM contents");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    for (;;) {
        int rc = sqlite3_step(s);
        if (rc == SQLITE_DONE) return 0;
        if (rc != SQLITE_ROW) return Fail("content ids");
        out.insert(column_u64(s, 0));
    }
}

#define TOKEN_COLUMNS                                                                                       \
    "token, created, used, kind, path, committed, held, sync_id, max_id, is_dir, file_id, refer, is_delta," \
    " payload, payload_size, size, hash, mtime, exec_bit"

namespace {

void ReadToken(sqlite3_stmt* s, TokenRecord& t) {
    t.token = ColumnBytes(s, 0);
    t.created = sqlite3_column_int64(s, 1);
    t.used = sqlite3_column_int64(s, 2);
    t.kind = static_cast<TokenKind>(sqlite3_column_int(s, 3));
    t.path = ColumnBytes(s, 4);
    t.committed = sqlite3_column_int(s, 5) != 0;
    t.held = column_u64(s, 6);
    t.sync_id = column_u64(s, 7);
    t.max_id = column_u64(s, 8);
    t.is_dir = sqlite3_column_int(s, 9) != 0;
    t.file_id = column_u64(s, 10);
    t.refer = sqlite3_column_int(s, 11) != 0;
    t.is_delta = sqlite3_column_int(s, 12) != 0;
    t.payload = ColumnBytes(s, 13);
    t.payload_size = column_u64(s, 14);
    t.size = column_u64(s, 15);
    t.hash = ColumnBytes(s, 16);
    t.mtime = column_u64(s, 17);
    t.exec_bit = static_cast<uint32_t>(sqlite3_column_int64(s, 18));
}

}  // namespace

int ViewIndex::GetToken(const std::string& token, TokenRecord& out) {
    sqlite3_stmt* s = Prepare(get_token_, "SELECT " TOKEN_COLUMNS " FROM tokens WHERE token = ?1");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_text(s, 1, token);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        ReadToken(s, out);
        return 1;
    }
    return rc == SQLITE_DONE ? 0 : Fail("get token");
}

int ViewIndex::PutToken(const TokenRecord& t) {
    sqlite3_stmt* s = Prepare(put_token_, "INSERT OR REPLACE INTO tokens(" TOKEN_COLUMNS
                                          ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14,"
                                          " ?15, ?16, ?17, ?18, ?19)");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_text(s, 1, t.token);
    sqlite3_bind_int64(s, 2, t.created);
    sqlite3_bind_int64(s, 3, t.used);
    sqlite3_bind_int(s, 4, static_cast<int>(t.kind));
    BindBlob(s, 5, t.path);
    sqlite3_bind_int(s, 6, t.committed ? 1 : 0);
    bind_u64(s, 7, t.held);
    bind_u64(s, 8, t.sync_id);
    bind_u64(s, 9, t.max_id);
    sqlite3_bind_int(s, 10, t.is_dir ? 1 : 0);
    bind_u64(s, 11, t.file_id);
    sqlite3_bind_int(s, 12, t.refer ? 1 : 0);
    sqlite3_bind_int(s, 13, t.is_delta ? 1 : 0);
    bind_text(s, 14, t.payload);
    bind_u64(s, 15, t.payload_size);
    bind_u64(s, 16, t.size);
    bind_text(s, 17, t.hash);
    bind_u64(s, 18, t.mtime);
    bind_u64(s, 19, t.exec_bit);
    return sqlite3_step(s) == SQLITE_DONE ? 0 : Fail("put token");
}

int ViewIndex::DeleteToken(const std::string& token) {
    sqlite3_stmt* s = Prepare(delete_token_, "DELETE FROM tokens WHERE token = ?1");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    bind_text(s, 1, token);
    return sqlite3_step(s) == SQLITE_DONE ? 0 : Fail("delete token");
}

int ViewIndex::TokensUsedBefore(int64_t before, std::vector<TokenRecord>& out) {
    sqlite3_stmt* s = Prepare(tokens_before_, "SELECT " TOKEN_COLUMNS " FROM tokens WHERE used < ?1 ORDER BY used");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    sqlite3_bind_int64(s, 1, before);
    for (;;) {
        int rc = sqlite3_step(s);
        if (rc == SQLITE_DONE) return 0;
        if (rc != SQLITE_ROW) return Fail("old tokens");
        out.emplace_back();
        ReadToken(s, out.back());
    }
}

int ViewIndex::TokenCount(uint64_t& count) {
    sqlite3_stmt* s = Prepare(token_count_, "SELECT count(*) FROM tokens");
    if (!s) return -1;
    tw_store::StatementUse use(s);
    if (sqlite3_step(s) != SQLITE_ROW) return Fail("count tokens");
    count = column_u64(s, 0);
    return 0;
}

int ViewIndex::IntegrityCheck(std::string& result) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "PRAGMA integrity_check", -1, &s, nullptr) != SQLITE_OK) return Fail("integrity check");
    result.clear();
    while (sqlite3_step(s) == SQLITE_ROW) {
        if (!result.empty()) result += "\n";
        result += ColumnBytes(s, 0);
    }
    sqlite3_finalize(s);
    return 0;
}

}  // namespace tw_server
