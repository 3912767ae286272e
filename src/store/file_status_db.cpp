#include "store/file_status_db.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "base/logger.h"
#include "store/sqlite_util.h"

namespace {

constexpr const char* kLog = "fstat_db_debug";
constexpr int kBusyTimeoutMs = 300000;

constexpr const char* kCreateTable =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = OFF;"
    "CREATE TABLE IF NOT EXISTS fstatinfo (id INTEGER PRIMARY KEY AUTOINCREMENT, path text unique NOT NULL, "
    "fileType integer NOT NULL, syncStatus integer NOT NULL);";
constexpr const char* kCreateIndex = "CREATE INDEX IF NOT EXISTS fstatinfo_path_idx on fstatinfo(path);";

// The database path and a generation that changes with every initialize and
// destroy, so that each thread's cached connection knows when to reopen.
std::mutex g_path_lock;
std::string g_path;
std::atomic<uint64_t> g_generation{1};

struct ThreadConnection {
    sqlite3* db = nullptr;
    uint64_t generation = 0;
    std::string path;

    ~ThreadConnection() { close(); }
    void close() {
        if (db) sqlite3_close_v2(db);
        db = nullptr;
        generation = 0;
        path.clear();
    }
};

thread_local ThreadConnection t_connection;

// This thread's connection to the current database file, opened on first use
// (with the WAL pragma and the busy timeout). SQLITE_OK, or the result code of
// opening with `errmsg` set; `dbpath` is the path opened.
int acquire(sqlite3** out, std::string& dbpath, std::string& errmsg) {
    ThreadConnection& conn = t_connection;
    uint64_t generation = g_generation.load(std::memory_order_acquire);
    if (conn.db && conn.generation == generation) {
        *out = conn.db;
        dbpath = conn.path;
        return SQLITE_OK;
    }
    conn.close();
    {
        std::lock_guard<std::mutex> guard(g_path_lock);
        dbpath = g_path;
        generation = g_generation.load(std::memory_order_acquire);
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open(dbpath.c_str(), &db);
    if (rc != SQLITE_OK) {
        errmsg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return rc;
    }
    sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF;", nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    conn.db = db;
    conn.generation = generation;
    conn.path = dbpath;
    *out = db;
    return SQLITE_OK;
}

// acquire() for one operation, logging a failure as "<failed> db-path:[..]
// errCode:[..] errmsg:[..]"; SQLITE_OK or the failure code.
int acquire_logged(sqlite3** db, const char* failed = "open db failed.") {
    std::string dbpath, errmsg;
    int rc = acquire(db, dbpath, errmsg);
    if (rc != SQLITE_OK)
        TW_ERROR(kLog, "%s db-path:[%s] errCode:[%d] errmsg:[%s]\n", failed, dbpath.c_str(), rc, errmsg.c_str());
    return rc;
}

// "dir/" for a folder path (the folder itself when it already ends in "/").
std::string folder_prefix(const ustring& dir) {
    std::string prefix = dir.str();
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    return prefix;
}

// The first text after every text that starts with `prefix` (which ends in
// "/"): the same text with its last "/" turned into "0".
std::string folder_upper(const std::string& prefix) {
    return prefix.substr(0, prefix.size() - 1) + "0";
}

void fill_entry(sqlite3_stmt* stmt, FileStatusInfo& info) {
    info.clear();
    info.path = tw_store::column_text(stmt, FSTAT_DB_PATH);
    info.fileType = sqlite3_column_int(stmt, FSTAT_DB_FILETYPE);
    info.syncStatus = sqlite3_column_int(stmt, FSTAT_DB_SYNCSTATUS);
}

// Runs one change statement with its text parameters bound in order; 0 or the
// failing SQLite result code (logged).
int run_change(sqlite3* db, const char* sql, std::initializer_list<const std::string*> params,
               const ustring& path_for_log) {
    tw_store::Statement stmt;
    int rc = stmt.prepare(db, sql);
    if (rc == SQLITE_NOMEM) {
        TW_ERROR(kLog, "sqlite3_mprintf error. filename:(%s)\n", path_for_log.c_str());
        return rc;
    }
    if (rc == SQLITE_OK) {
        int index = 1;
        for (const std::string* param : params) {
            rc = sqlite3_bind_text(stmt.get(), index++, param->data(), static_cast<int>(param->size()),
                                   SQLITE_TRANSIENT);
            if (rc != SQLITE_OK) break;
        }
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_DONE || rc == SQLITE_ROW) rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK) {
        rc = sqlite3_errcode(db) != SQLITE_OK ? sqlite3_extended_errcode(db) : rc;
        TW_ERROR(kLog, "sqlite3_exec error. errCode:(%d) error:[%s]\n", rc, sqlite3_errmsg(db));
        return rc;
    }
    return 0;
}

// Runs a batch on this thread's connection for the maintenance operations:
// 0 or -1 (logged).
int run_maintenance(const char* sql) {
    sqlite3* db = nullptr;
    std::string dbpath, errmsg;
    if (acquire(&db, dbpath, errmsg) != SQLITE_OK) {
        TW_ERROR(kLog, "FileStatusDB: failed to open database (%s)\n", dbpath.c_str());
        return -1;
    }
    char* err = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "FileStatusDB: sqlite3_exec: %s  (%d)\n", err ? err : sqlite3_errstr(rc), rc);
        sqlite3_free(err);
        return -1;
    }
    return 0;
}

}  // namespace

int FileStatusDB::initialize(const ustring& location) {
    if (location.empty()) {
        TW_ERROR(kLog, "fstat-db path is empty.\n");
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(g_path_lock);
        g_path = location.str();
        g_generation.fetch_add(1, std::memory_order_acq_rel);
    }
    sqlite3* db = nullptr;
    std::string dbpath, errmsg;
    if (acquire(&db, dbpath, errmsg) != SQLITE_OK) {
        TW_ERROR(kLog, "open db failed. db-path:[%s] errmsg:[%s]\n", location.c_str(), errmsg.c_str());
        return -1;
    }
    for (const char* sql : {kCreateTable, kCreateIndex}) {
        char* err = nullptr;
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
        if (rc != SQLITE_OK) {
            TW_ERROR(kLog, "sqlite3_exec error. cmd:(%s)  error:(%s)\n", sql, err ? err : sqlite3_errstr(rc));
            sqlite3_free(err);
            t_connection.close();
            return -1;
        }
    }
    return 0;
}

void FileStatusDB::destroy() {
    std::lock_guard<std::mutex> guard(g_path_lock);
    g_path.clear();
    g_generation.fetch_add(1, std::memory_order_acq_rel);
}

std::string FileStatusDB::path() {
    std::lock_guard<std::mutex> guard(g_path_lock);
    return g_path;
}

int FileStatusDB::removeAllEntry() {
    return run_maintenance("DELETE FROM fstatinfo;ANALYZE;VACUUM;");
}

int FileStatusDB::updateAllSyncingEntry() {
    return run_maintenance("UPDATE fstatinfo SET syncStatus = 1 WHERE syncStatus = 2");
}

int FileStatusDB::setFileSyncStat(const FileStatusInfo& info) {
    sqlite3* db = nullptr;
    int rc = acquire_logged(&db);
    if (rc != SQLITE_OK) return rc;
    tw_store::Statement stmt;
    rc = stmt.prepare(db,
                      "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  values(NULL, ?1, ?2, ?3);");
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt.get(), 1, info.path.c_str(), static_cast<int>(info.path.size()), SQLITE_STATIC);
        sqlite3_bind_int(stmt.get(), 2, info.fileType);
        sqlite3_bind_int(stmt.get(), 3, info.syncStatus);
        rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_DONE) return 0;
    }
    if (rc == SQLITE_NOMEM) {
        TW_ERROR(kLog, "sqlite3_mprintf error. filename:(%s)\n", info.path.c_str());
        return rc;
    }
    rc = sqlite3_extended_errcode(db);
    TW_ERROR(kLog, "sqlite3_exec error. errCode:(%d) error:[%s]\n", rc, sqlite3_errmsg(db));
    return rc != SQLITE_OK ? rc : SQLITE_ERROR;
}

int FileStatusDB::rmFileStatByPath(const ustring& path) {
    sqlite3* db = nullptr;
    int rc = acquire_logged(&db, "Open db failed.");
    if (rc != SQLITE_OK) return rc;
    std::string p = path.str();
    return run_change(db, "delete from fstatinfo where path = ?1;", {&p}, path);
}

int FileStatusDB::rmFileSyncStat(const FileStatusInfo& info) {
    if (info.path.empty()) {
        // Every entry lies "below" an empty path.
        TW_ERROR(kLog, "filepath is empty.\n");
        return SQLITE_MISUSE;
    }
    sqlite3* db = nullptr;
    int rc = acquire_logged(&db);
    if (rc != SQLITE_OK) return rc;
    std::string p = info.path.str();
    std::string lo = folder_prefix(info.path);
    std::string hi = folder_upper(lo);
    return run_change(db, "delete from fstatinfo where (path = ?1 OR (path > ?2 AND path < ?3));", {&p, &lo, &hi},
                      info.path);
}

int FileStatusDB::getFileSyncStat(const ustring& path, FileStatusInfo* out) {
    if (path.empty()) {
        TW_ERROR(kLog, "filepath is empty.\n");
        return -1;
    }
    if (!out) {
        TW_ERROR(kLog, "FileStatusInfo  is NULL.\n");
        return -1;
    }
    sqlite3* db = nullptr;
    int rc = acquire_logged(&db);
    if (rc != SQLITE_OK) return -1;
    tw_store::Statement stmt;
    rc = stmt.prepare(db, "select id, path, fileType, syncStatus from fstatinfo where path = ?1");
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt.get(), 1, path.c_str(), static_cast<int>(path.size()), SQLITE_STATIC);
        out->clear();
        rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_ROW) {
            fill_entry(stmt.get(), *out);
            return 1;
        }
        if (rc == SQLITE_DONE) return 0;
    }
    TW_ERROR(kLog, "get fstat info failed. file-path:[%s] errCode:[%d] errmsg:[%s]\n", t_connection.path.c_str(),
             sqlite3_errcode(db), sqlite3_errmsg(db));
    return -1;
}

FileStatusInfo* FileStatusDB::getFileSyncStats(const ustring& dir, int start, int limit, int& size) {
    if (dir.empty()) {
        TW_ERROR(kLog, "dirpath is empty.\n");
        return nullptr;
    }
    size = 0;
    sqlite3* db = nullptr;
    int rc = acquire_logged(&db);
    if (rc != SQLITE_OK) return nullptr;
    std::string lo = folder_prefix(dir);
    std::string hi = folder_upper(lo);
    tw_store::Statement stmt;
    rc = stmt.prepare(db,
                      "select id, path, fileType, syncStatus from fstatinfo where path > ?1 and path < ?2 "
                      "and instr(substr(CAST(path AS BLOB), ?3), X'2F') = 0 order by path limit ?4 offset ?5");
    std::vector<FileStatusInfo> rows;
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt.get(), 1, lo.data(), static_cast<int>(lo.size()), SQLITE_STATIC);
        sqlite3_bind_text(stmt.get(), 2, hi.data(), static_cast<int>(hi.size()), SQLITE_STATIC);
        sqlite3_bind_int(stmt.get(), 3, static_cast<int>(lo.size()) + 1);
        sqlite3_bind_int(stmt.get(), 4, limit);
        sqlite3_bind_int(stmt.get(), 5, start < 0 ? 0 : start);
        try {
            while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
                rows.emplace_back();
                fill_entry(stmt.get(), rows.back());
            }
        } catch (const std::bad_alloc&) {
            TW_ERROR(kLog, "Don't have enough to show file status");
            return nullptr;
        }
    }
    if (rc != SQLITE_DONE) {
        TW_ERROR(kLog, "get fstat info failed. file-path:[%s] errCode:[%d] errmsg:[%s]\n", t_connection.path.c_str(),
                 sqlite3_errcode(db), sqlite3_errmsg(db));
        return nullptr;
    }
    if (rows.empty()) return nullptr;
    FileStatusInfo* result = new (std::nothrow) FileStatusInfo[rows.size()];
    if (!result) {
        TW_ERROR(kLog, "Don't have enough to show file status");
        return nullptr;
    }
    for (size_t i = 0; i < rows.size(); ++i) result[i] = rows[i];
    size = static_cast<int>(rows.size());
    return result;
}

bool FileStatusDB::isAnySubFileDirSyncing(const ustring& prefix) {
    if (prefix.empty()) {
        TW_ERROR(kLog, "prefix dirpath is empty.\n");
        return false;
    }
    sqlite3* db = nullptr;
    int rc = acquire_logged(&db);
    if (rc != SQLITE_OK) return false;
    static constexpr const char* kSql =
        "select id from fstatinfo where path > ?1 and path < ?2 and syncStatus = ?3 limit 2";
    std::string lo = folder_prefix(prefix);
    std::string hi = folder_upper(lo);
    tw_store::Statement stmt;
    rc = stmt.prepare(db, kSql);
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt.get(), 1, lo.data(), static_cast<int>(lo.size()), SQLITE_STATIC);
        sqlite3_bind_text(stmt.get(), 2, hi.data(), static_cast<int>(hi.size()), SQLITE_STATIC);
        sqlite3_bind_int(stmt.get(), 3, FSTAT_SYNCING);
        rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
    }
    TW_ERROR(kLog, "get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n", kSql, sqlite3_errcode(db),
             sqlite3_errmsg(db));
    return false;
}

bool FileStatusDB::isAnyFileSyncing() {
    sqlite3* db = nullptr;
    int rc = acquire_logged(&db);
    if (rc != SQLITE_OK) return false;
    static constexpr const char* kSql = "select id from fstatinfo where syncStatus = 2 limit 2";
    tw_store::Statement stmt;
    rc = stmt.prepare(db, kSql);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
    }
    TW_ERROR(kLog, "get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n", kSql, sqlite3_errcode(db),
             sqlite3_errmsg(db));
    return false;
}
