#include "store/filter_db.h"

#include <cinttypes>
#include <cstdlib>

#include "base/logger.h"
#include "store/sqlite_util.h"

namespace {

constexpr const char* kLog = "filter_db_debug";
constexpr int kBusyTimeoutMs = 300000;

constexpr const char* kSchema =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = NORMAL;"
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS white_list_table (sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, "
    "filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL, "
    "primary key (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_table (sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, "
    "filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL, "
    "primary key (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_range_table (sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, "
    "filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL, "
    "primary key (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_resume_table (id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS filtered_local_event_table (sess_id INTEGER NOT NULL, file_type INTEGER NOT NULL, "
    "is_exist INTEGER NOT NULL, path TEXT NOT NULL, sync_id NUMERIC NOT NULL, file_size NUMERIC NOT NULL, "
    "file_mod_time NUMERIC NOT NULL, file_checksum TEXT NOT NULL, base_name TEXT NOT NULL, "
    "win_hash TEXT DEFAULT NULL, mac_hash TEXT DEFAULT NULL, linux_hash TEXT DEFAULT NULL, "
    "corv_hash TEXT DEFAULT NULL, inode INTEGER, filtered_type NUMERIC NOT NULL, primary key (sess_id, path));"
    "CREATE INDEX IF NOT EXISTS white_list_table_sess_id_idx ON white_list_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS white_list_table_type_idx ON white_list_table(filter_type);"
    "CREATE INDEX IF NOT EXISTS white_list_table_desc_idx ON white_list_table(filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_table_sess_id_idx ON filter_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_table_type_idx ON filter_table(filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_table_desc_idx ON filter_table(filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_sess_id_idx ON filter_range_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_type_idx ON filter_range_table(filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_desc_idx ON filter_range_table(filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_resume_table_sess_id_idx ON filter_resume_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_sess_id_idx ON filtered_local_event_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_path_idx ON filtered_local_event_table(path);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_filtered_type_idx "
    "ON filtered_local_event_table(filtered_type);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_file_size_idx ON filtered_local_event_table(file_size);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_base_name_idx ON filtered_local_event_table(base_name);"
    "INSERT or IGNORE into config_table values ('version', 2);"
    "COMMIT;";

constexpr const char* kMprintfFailed = "FilterDB: Failed to sqlite3_mprintf.\n";

}  // namespace

FilterDB::~FilterDB() {
    destroy();
}

FilterDB& FilterDB::getInstance() {
    static FilterDB instance;
    return instance;
}

bool FilterDB::isOpen() {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return m_db != nullptr;
}

int FilterDB::initialize(const ustring& path) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    if (m_db) {
        TW_INFO(kLog, "FilterDB has been initialized (no-op)\n");
        return 0;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open(path.c_str(), &db);
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "FilterDB: Failed to open database at '%s'. [%d] %s\n", path.c_str(), rc,
                 db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return -1;
    }
    char* err = nullptr;
    rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        const char* text = err ? err : sqlite3_errstr(rc);
        TW_ERROR(kLog, "FilterDB: Failed to initialize database at '%s'. [%d] %s\n", path.c_str(), rc, text);
        TW_ERROR(kLog, "FilterDB init fail %s\n", text);
        sqlite3_free(err);
        sqlite3_close_v2(db);
        return -1;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    m_db = db;
    m_filter_db_path = path;
    TW_INFO(kLog, "FilterDB has been initialized with location '%s'\n", path.c_str());
    return 0;
}

void FilterDB::destroy() {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    if (!m_db) {
        TW_INFO(kLog, "FilterDB has been deinitialzed (no-op)\n");
        return;
    }
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_filter_db_path.clear();
    TW_INFO(kLog, "FilterDB has been deinitialzed\n");
}

// Runs one formatted change statement (taking ownership of `sql`) under the
// held mutex.
int FilterDB::execChange(const char* op, const char* mprintf_error, char* sql_text) {
    tw_store::SqlText sql(sql_text);
    if (!sql) {
        TW_ERROR(kLog, "%s", mprintf_error);
        return -1;
    }
    TW_DEBUG(kLog, "%s sql : %s\n", op, sql.get());
    if (!m_db) {
        TW_ERROR(kLog, "FilterDB %s fail: %s (%d).\n", op, "database is not open", SQLITE_MISUSE);
        return -1;
    }
    char* err = nullptr;
    int rc = sqlite3_exec(m_db, sql.get(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        const char* text = err ? err : sqlite3_errstr(rc);
        if (std::string(op) == "setConfigItem") {
            TW_ERROR(kLog, "setConfigItem fail: %s (%d).\n", text, rc);
        } else {
            TW_ERROR(kLog, "FilterDB %s fail: %s (%d).\n", op, text, rc);
        }
        sqlite3_free(err);
        return -1;
    }
    return 0;
}

// Runs one formatted query (taking ownership of `sql`) under the held mutex,
// calling `row` for each result row.
int FilterDB::query(const char* op, char* sql_text, const std::function<void(sqlite3_stmt*)>& row) {
    tw_store::SqlText sql(sql_text);
    if (!sql) {
        TW_ERROR(kLog, "%s", kMprintfFailed);
        return -1;
    }
    TW_DEBUG(kLog, "%s sql : %s\n", op, sql.get());
    if (!m_db) {
        TW_ERROR(kLog, "%s failed : %s (%d).\n", op, "database is not open", SQLITE_MISUSE);
        return -1;
    }
    tw_store::Statement stmt;
    int rc = stmt.prepare(m_db, sql.get());
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "%s failed : %s (%d).\n", op, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) row(stmt.get());
    if (rc != SQLITE_DONE) {
        TW_ERROR(kLog, "sqlite3_step: %s (%d)\n", sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& filter_desc) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("setFilter", kMprintfFailed,
                      sqlite3_mprintf("INSERT INTO filter_table  (sess_id, sync_id, filter_type, filter_desc) "
                                      "VALUES (%" PRIu64 ", %" PRIu64 ", %d, %Q)",
                                      sess_id, sync_id, filter_type, filter_desc.c_str()));
}

int FilterDB::rmFilter(uint64_t sess_id, int filter_type, const ustring& filter_desc) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("rmFilter", kMprintfFailed,
                      sqlite3_mprintf("DELETE FROM filter_table WHERE (sess_id = %" PRIu64
                                      " AND filter_type = %d AND filter_desc = %Q)",
                                      sess_id, filter_type, filter_desc.c_str()));
}

int FilterDB::setWhiteListFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& filter_desc) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("setWhiteListFilter", "FilterDB: Failed to setWhiteListFilter sqlite3_mprintf.\n",
                      sqlite3_mprintf("INSERT INTO white_list_table  (sess_id, sync_id, filter_type, filter_desc) "
                                      "VALUES (%" PRIu64 ", %" PRIu64 ", %d, %Q)",
                                      sess_id, sync_id, filter_type, filter_desc.c_str()));
}

int FilterDB::rmWhiteListFilter(uint64_t sess_id, int filter_type, const ustring& filter_desc) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("rmWhiteListFilter", "FilterDB: Failed to rmWhiteListFilter sqlite3_mprintf.\n",
                      sqlite3_mprintf("DELETE FROM white_list_table WHERE (sess_id = %" PRIu64
                                      " AND filter_type = %d AND filter_desc = %Q)",
                                      sess_id, filter_type, filter_desc.c_str()));
}

int FilterDB::setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("setSizeFilter", kMprintfFailed,
                      sqlite3_mprintf("INSERT INTO filter_range_table  (sess_id, sync_id, filter_type, filter_desc) "
                                      "VALUES (%" PRIu64 ", %" PRIu64 ", %d, %" PRIu64 ")",
                                      sess_id, sync_id, static_cast<int>(FILTER_TYPE_SIZE), size));
}

int FilterDB::updateSizeFilter(uint64_t sess_id, uint64_t orig_size, uint64_t new_size) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("updateSizeFilter", kMprintfFailed,
                      sqlite3_mprintf("UPDATE filter_range_table SET filter_desc = %" PRIu64 " WHERE sess_id = %" PRIu64
                                      " AND filter_type = %d AND filter_desc = %" PRIu64,
                                      new_size, sess_id, static_cast<int>(FILTER_TYPE_SIZE), orig_size));
}

int FilterDB::rmSizeFilter(uint64_t sess_id, uint64_t size) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("rmSizeFilter", kMprintfFailed,
                      sqlite3_mprintf("DELETE FROM filter_range_table WHERE sess_id = %" PRIu64
                                      " AND filter_type = %d AND filter_desc = %" PRIu64 ";",
                                      sess_id, static_cast<int>(FILTER_TYPE_SIZE), size));
}

int FilterDB::getSizeFilter(uint64_t sess_id, FilterInfo& finfo) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    bool found = false;
    FilterInfo first;
    int rc = query("getSizeFilter",
                   sqlite3_mprintf("SELECT filter_desc, sync_id FROM filter_range_table WHERE sess_id = %" PRIu64
                                   " AND filter_type = %d;",
                                   sess_id, static_cast<int>(FILTER_TYPE_SIZE)),
                   [&](sqlite3_stmt* stmt) {
                       if (found) return;
                       found = true;
                       first.filter_desc = tw_store::column_text(stmt, 0);
                       first.sync_id = tw_store::column_u64(stmt, 1);
                   });
    if (rc == 0 && found) finfo = first;
    return rc;
}

namespace {

void add_filter_row(sqlite3_stmt* stmt, SelectiveSyncInfo& info, bool white) {
    int type = sqlite3_column_int(stmt, 0);
    FilterInfo f;
    f.sync_id = tw_store::column_u64(stmt, 1);
    f.filter_desc = tw_store::column_text(stmt, 2);
    if (white) {
        if (type == FILTER_TYPE_EXT) {
            info.white_ext.insert(f);
            return;
        }
    } else {
        switch (type) {
            case FILTER_TYPE_SIZE:
                info.black_size = f;
                return;
            case FILTER_TYPE_NAME:
                info.black_name.insert(f);
                return;
            case FILTER_TYPE_PREFIX:
                info.black_prefix.insert(f);
                return;
            case FILTER_TYPE_EXT:
                info.black_ext.insert(f);
                return;
            default:
                break;
        }
    }
    TW_ERROR(kLog, "Unknow filter_type: %d\n", type);
}

}  // namespace

int FilterDB::ConvertFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& info) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return query("ConvertFilterDBToSelectiveSyncInfo",
                 sqlite3_mprintf("SELECT filter_type, sync_id, filter_desc FROM filter_table WHERE sess_id = %" PRIu64
                                 "  UNION ALL SELECT filter_type, sync_id, filter_desc FROM filter_range_table "
                                 "WHERE sess_id = %" PRIu64 ";",
                                 sess_id, sess_id),
                 [&](sqlite3_stmt* stmt) { add_filter_row(stmt, info, false); });
}

int FilterDB::ConvertWhiteFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& info) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return query(
        "ConvertWhiteFilterDBToSelectiveSyncInfo",
        sqlite3_mprintf("SELECT filter_type, sync_id, filter_desc FROM white_list_table WHERE sess_id = %" PRIu64 ";",
                        sess_id),
        [&](sqlite3_stmt* stmt) { add_filter_row(stmt, info, true); });
}

int FilterDB::setResumeCondition(const ResumeCondition& r, uint64_t& row_id) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    int rc = execChange("setResumeCondition", kMprintfFailed,
                        sqlite3_mprintf("INSERT INTO filter_resume_table (sess_id, sync_id, filter_type, filter_desc) "
                                        "VALUES (%" PRIu64 ", %" PRIu64 ", %d, %Q);",
                                        r.sess_id, r.sync_id, r.filter_type, r.filter_desc.c_str()));
    if (rc == 0) row_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
    return rc;
}

int FilterDB::getResumeConditionsBySession(uint64_t sess_id, ResumeConditionList& list) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return query("getResumeConditionsBySession",
                 sqlite3_mprintf("SELECT id, sync_id, filter_type, filter_desc FROM filter_resume_table "
                                 "WHERE sess_id = %" PRIu64 ";",
                                 sess_id),
                 [&](sqlite3_stmt* stmt) {
                     ResumeCondition r;
                     r.sess_id = sess_id;
                     r.sync_id = tw_store::column_u64(stmt, 1);
                     r.filter_type = sqlite3_column_int(stmt, 2);
                     r.filter_desc = tw_store::column_text(stmt, 3);
                     list.emplace_back(tw_store::column_u64(stmt, 0), r);
                 });
}

int FilterDB::getResumeCondition(uint64_t& row_id, ResumeCondition& r) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    bool found = false;
    int rc = query("getResumeCondition",
                   sqlite3_mprintf("SELECT id, sess_id, sync_id, filter_type, filter_desc FROM filter_resume_table "
                                   "LIMIT 1;"),
                   [&](sqlite3_stmt* stmt) {
                       found = true;
                       row_id = tw_store::column_u64(stmt, 0);
                       r.sess_id = tw_store::column_u64(stmt, 1);
                       r.sync_id = tw_store::column_u64(stmt, 2);
                       r.filter_type = sqlite3_column_int(stmt, 3);
                       r.filter_desc = tw_store::column_text(stmt, 4);
                   });
    if (rc != 0) return -1;
    return found ? 1 : 0;
}

int FilterDB::updateResumeSyncId(uint64_t row_id, uint64_t sync_id) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("updateResumeSyncId", kMprintfFailed,
                      sqlite3_mprintf("UPDATE filter_resume_table SET sync_id = %" PRIu64 " WHERE id = %" PRIu64 ";",
                                      sync_id, row_id));
}

int FilterDB::rmResumeCondition(uint64_t row_id) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("rmResumeCondition", kMprintfFailed,
                      sqlite3_mprintf("DELETE FROM filter_resume_table WHERE id = %" PRIu64 ";", row_id));
}

int FilterDB::setLocalFilteredEvent(const FilterLocalEvent& e) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange(
        "setLocalFilteredEvent", kMprintfFailed,
        sqlite3_mprintf("INSERT OR REPLACE INTO filtered_local_event_table  (sess_id, file_type, is_exist, sync_id, "
                        "path, file_size, file_mod_time, file_checksum, base_name, win_hash, mac_hash, linux_hash, "
                        "corv_hash, inode, filtered_type) VALUES (%" PRIu64 ", %d, %d, %" PRIu64 ", %Q, %" PRIu64
                        ", %u, %Q, %Q, %Q, %Q, %Q, %Q, %" PRIu64 ", %d)",
                        e.sess_id, e.file_type, e.is_exist, e.sync_id, e.path.c_str(), e.file_size, e.file_mod_time,
                        e.file_checksum.c_str(), e.base_name.c_str(), e.win_hash.c_str(), e.mac_hash.c_str(),
                        e.linux_hash.c_str(), e.corv_hash.c_str(), e.inode, e.filtered_type));
}

namespace {

// Reads the columns after `first` in the order file_type, sync_id, file_size,
// file_mod_time, file_checksum, base_name, win_hash, mac_hash, linux_hash,
// corv_hash, inode, filtered_type, is_exist.
void read_local_event(sqlite3_stmt* stmt, int first, FilterLocalEvent& e) {
    int c = first;
    e.file_type = sqlite3_column_int(stmt, c++);
    e.sync_id = tw_store::column_u64(stmt, c++);
    e.file_size = tw_store::column_u64(stmt, c++);
    e.file_mod_time = static_cast<uint32_t>(tw_store::column_u64(stmt, c++));
    e.file_checksum = tw_store::column_text(stmt, c++);
    e.base_name = tw_store::column_text(stmt, c++);
    e.win_hash = tw_store::column_text(stmt, c++);
    e.mac_hash = tw_store::column_text(stmt, c++);
    e.linux_hash = tw_store::column_text(stmt, c++);
    e.corv_hash = tw_store::column_text(stmt, c++);
    e.inode = tw_store::column_u64(stmt, c++);
    e.filtered_type = sqlite3_column_int(stmt, c++);
    e.is_exist = sqlite3_column_int(stmt, c++);
}

}  // namespace

int FilterDB::getLocalFilteredEventByPath(uint64_t sess_id, const ustring& path, FilterLocalEvent& e) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    bool found = false;
    int rc = query("getLocalFilteredEventByPath",
                   sqlite3_mprintf("SELECT file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, "
                                   "win_hash, mac_hash, linux_hash, corv_hash, inode, filtered_type, is_exist "
                                   "FROM filtered_local_event_table WHERE sess_id = %" PRIu64 " AND path = %Q;",
                                   sess_id, path.c_str()),
                   [&](sqlite3_stmt* stmt) {
                       found = true;
                       read_local_event(stmt, 0, e);
                       e.sess_id = sess_id;
                       e.path = path;
                   });
    if (rc != 0) return -1;
    return found ? 1 : 0;
}

int FilterDB::dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent>& events) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return query("getLocalFilteredEvent",
                 sqlite3_mprintf("SELECT path, file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, "
                                 "win_hash, mac_hash, linux_hash, corv_hash, inode, filtered_type, is_exist "
                                 "FROM filtered_local_event_table WHERE sess_id = %" PRIu64 ";",
                                 sess_id),
                 [&](sqlite3_stmt* stmt) {
                     FilterLocalEvent e;
                     e.sess_id = sess_id;
                     e.path = tw_store::column_text(stmt, 0);
                     read_local_event(stmt, 1, e);
                     events.insert(e);
                 });
}

int FilterDB::rmLocalFilteredEventByPath(uint64_t sess_id, const ustring& path) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    // Everything below `path` is the byte range ["path/", "path0").
    std::string below = path.str() + "/";
    std::string upper = tw_store::below_upper_bound(path.str());
    return execChange("rmLocalFilteredEventByPath", kMprintfFailed,
                      sqlite3_mprintf("DELETE FROM filtered_local_event_table WHERE sess_id = %" PRIu64
                                      " AND (path = %Q OR (path >= %Q AND path < %Q));",
                                      sess_id, path.c_str(), below.c_str(), upper.c_str()));
}

int FilterDB::cleanLocalFilteredEventBySession(uint64_t sess_id) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("cleanLocalFilteredEventBySession", "FilterDB: sqlite3_mprintf failed.\n",
                      sqlite3_mprintf("DELETE FROM filtered_local_event_table WHERE sess_id = %" PRIu64 ";", sess_id));
}

int FilterDB::setConfigItem(const ustring& key, const ustring& value) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    return execChange("setConfigItem", kMprintfFailed,
                      sqlite3_mprintf("INSERT OR REPLACE INTO config_table  (key, value) VALUES(%Q, %Q);", key.c_str(),
                                      value.c_str()));
}

int FilterDB::checkEventOverflow(int& overflow) {
    std::lock_guard<std::mutex> guard(m_db_mutex);
    bool found = false;
    int value = 1;
    int rc =
        query("checkEventOverflow", sqlite3_mprintf("SELECT value FROM config_table WHERE key = 'event_overflow';"),
              [&](sqlite3_stmt* stmt) {
                  if (found) return;
                  found = true;
                  value = sqlite3_column_int(stmt, 0);
              });
    if (rc != 0) return -1;
    overflow = found ? value : 1;
    return 0;
}
