#include "store/file_event_db.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "base/logger.h"
#include "event/file_list.h"
#include "fs/file_op.h"

namespace {

constexpr const char* kLog = "event_db_debug";

constexpr const char* kSchema =
    "PRAGMA page_size = 1024;PRAGMA journal_mode = WAL;PRAGMA synchronous = NORMAL;BEGIN;"
    "CREATE TABLE IF NOT EXISTS event_table (id integer primary key, fileType integer NOT NULL, "
    "isExist integer NOT NULL, syncID NUMERIC NOT NULL, maxSyncID NUMERIC NOT NULL, fileSize NUMERIC NOT NULL, "
    "fileModTime NUMERIC NOT NULL, fileCheckSum text NOT NULL, path text unique NOT NULL, "
    "macHash text NOT NULL DEFAULT '', inode INTEGER NOT NULL DEFAULT 0, execBit INTEGER NOT NULL DEFAULT 0, "
    "unixUid INTEGER NOT NULL DEFAULT 0, unixGid INTEGER NOT NULL DEFAULT 0, unixMode INTEGER NOT NULL DEFAULT 0, "
    "unixHash TEXT NOT NULL DEFAULT '', aclAttribute TEXT NOT NULL DEFAULT '', aclHash TEXT NOT NULL DEFAULT '', "
    "sharePrivDisabled INTEGER NOT NULL DEFAULT 0, sharePrivDenyList TEXT NOT NULL DEFAULT '', "
    "sharePrivRoList TEXT NOT NULL DEFAULT '', sharePrivRwList TEXT NOT NULL DEFAULT '', "
    "sharePrivHash TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR NOT NULL);"
    "INSERT or IGNORE INTO config_table VALUES ('sync_id', '0');"
    "INSERT or IGNORE INTO config_table VALUES ('version', 8);"
    "CREATE TABLE IF NOT EXISTS recycle_bin_table (id integer primary key, path text unique NOT NULL, "
    "fileSize NUMERIC NOT NULL, fileCheckSum text NOT NULL, macHash text default NULL, time NUMERIC NOT NULL);"
    "CREATE INDEX IF NOT EXISTS event_table_syncID_idx ON event_table(syncID);"
    "CREATE INDEX IF NOT EXISTS event_table_maxSyncID_idx ON event_table(maxSyncID);"
    "CREATE INDEX IF NOT EXISTS event_table_path_idx ON event_table(path);"
    "CREATE INDEX IF NOT EXISTS event_table_fileCheckSum_idx ON event_table(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS event_table_macHash_idx ON event_table(macHash);"
    "CREATE INDEX IF NOT EXISTS event_table_isExist_idx ON event_table(isExist);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_fileCheckSum_idx ON recycle_bin_table(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_macHash_idx ON recycle_bin_table(macHash);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_time_idx ON recycle_bin_table(time);"
    "CREATE TRIGGER IF NOT EXISTS event_table_delete_trigger AFTER DELETE ON event_table BEGIN "
    "UPDATE config_table SET value = '' WHERE rowid = remove_signature(OLD.id); END;"
    "COMMIT;";

// Every record is its own transaction, and each rewrites the same dozen
// table and index pages. Small pages (set before the file is first created)
// make each of those log frames a quarter of the default size. Checkpoints
// come every 4096 frames (4 MiB of log), which folds many rewrites of a page
// into one write of the database file and one disk sync, and the log is cut
// back to 8 MiB after a larger transaction. Reads go through a 32 MiB page
// cache and not through a memory map: with a map, SQLite searches the log's
// index for every page it touches, cached or not. The file is written
// through SQLite's own I/O layer: a faster commit is to come from several
// records per transaction where a caller allows it, never from below SQLite.
constexpr const char* kTuning =
    "PRAGMA wal_autocheckpoint = 4096;PRAGMA journal_size_limit = 8388608;"
    "PRAGMA cache_size = -32768;PRAGMA mmap_size = 0;";

constexpr const char* kSelectRecord =
    "SELECT id, isExist, syncID, maxSyncID, fileType, fileSize, fileCheckSum, macHash, fileModTime, execBit, "
    "unixUid, unixGid, unixMode, unixHash, aclAttribute, aclHash, sharePrivDisabled, sharePrivDenyList, "
    "sharePrivRoList, sharePrivRwList, sharePrivHash, inode, path FROM event_table  where path = ?1";

constexpr const char* kContains = "SELECT id, syncID FROM event_table WHERE path = ?;";

// The record's fields, bound as ?1 .. ?22 in this order by bind_record(); a
// stored record of the same path is overwritten.
constexpr const char* kUpsertRecord =
    "INSERT INTO event_table (isExist, syncID, maxSyncID,  fileType, fileSize, fileCheckSum,  "
    "fileModTime, execBit, macHash,  unixUid, unixGid, unixMode, unixHash,  aclAttribute, aclHash,  "
    "sharePrivDisabled, sharePrivDenyList, sharePrivRoList, sharePrivRwList, sharePrivHash,  inode, path) "
    "VALUES (?1, ?2, ?3,  ?4, ?5, ?6,  ?7, ?8, ?9,  ?10, ?11, ?12, ?13,  ?14, ?15,  ?16, ?17, ?18, ?19, ?20,  "
    "?21, ?22) ON CONFLICT(path) DO UPDATE SET isExist = ?1, syncID = ?2, maxSyncID = ?3, fileType = ?4, "
    "fileSize = ?5, fileCheckSum = ?6, fileModTime = ?7, execBit = ?8, macHash = ?9, unixUid = ?10, "
    "unixGid = ?11, unixMode = ?12, unixHash = ?13, aclAttribute = ?14, aclHash = ?15, sharePrivDisabled = ?16, "
    "sharePrivDenyList = ?17, sharePrivRoList = ?18, sharePrivRwList = ?19, sharePrivHash = ?20, inode = ?21;";

// ?1 max sync id, ?2 path, ?3 modification time. A missing folder record is
// created; an existing one has its maxSyncID raised when it is lower.
constexpr const char* kUpsertParent =
    "INSERT INTO event_table (isExist, syncID, maxSyncID,  fileType, fileSize, fileCheckSum,  inode, "
    "path,  fileModTime, execBit, macHash,  aclAttribute, aclHash,  unixUid, unixGid, unixMode, unixHash,  "
    "sharePrivDisabled, sharePrivDenyList, sharePrivRoList, sharePrivRwList, sharePrivHash) VALUES (1, 0, ?1,  "
    "1, 0, '',  0, ?2,  ?3, 1, '',  '', '',  0, 0, 493, '',  0, '', '', '', '') "
    "ON CONFLICT(path) DO UPDATE SET maxSyncID = excluded.maxSyncID WHERE maxSyncID < excluded.maxSyncID;";

const char* errmsg_of(sqlite3* db) {
    return db ? sqlite3_errmsg(db) : "database is not open";
}

// The folder part of `prefix` without a trailing "/": "" for "" and "/".
std::string folder_base(const ustring& prefix) {
    std::string base = prefix.str();
    if (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

uint64_t now_seconds() {
    return static_cast<uint64_t>(std::time(nullptr));
}

}  // namespace

FileEventDB::FileEventDB() {
    TW_DEBUG(kLog, "event db <%p> is created\n", static_cast<void*>(this));
}

FileEventDB::~FileEventDB() {
    destroy();
    TW_DEBUG(kLog, "event db <%p> is deleted\n", static_cast<void*>(this));
}

ustring FileEventDB::path_convert(uint64_t row_id) {
    unsigned char bytes[8];
    int n = 0;
    for (int shift = 56; shift >= 0; shift -= 8) {
        unsigned char b = static_cast<unsigned char>(row_id >> shift);
        if (n == 0 && b == 0 && shift != 0) continue;  // leading zero bytes
        bytes[n++] = b;
    }
    std::string name;
    char hex[3];
    for (int i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        if (i == n - 1) {
            name += '.';
            name += hex;
        } else {
            name += hex;
            name += '/';
        }
    }
    return ustring(name);
}

// Called by the delete trigger for every record that goes, in the middle of
// the statement: the signature file is only noted here, since the
// transaction may still roll back and bring the record back.
void FileEventDB::SQLRemoveSignatureFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    FileEventDB* self = static_cast<FileEventDB*>(sqlite3_user_data(ctx));
    if (argc == 1 && self) {
        uint64_t row_id = static_cast<uint64_t>(sqlite3_value_int64(argv[0]));
        if (row_id != 0 && !self->m_signPath.empty()) {
            try {
                self->m_doomedSignatures.push_back(self->m_signPath + "/" + path_convert(row_id));
            } catch (const std::bad_alloc&) {
                // Without the note the statement must not go on: its record
                // would go and its signature file would stay for ever.
                sqlite3_result_error_nomem(ctx);
                return;
            }
        }
    }
    sqlite3_result_int(ctx, 0);
}

void FileEventDB::finishSignatureRemovals(bool committed) {
    if (committed) {
        for (const ustring& file : m_doomedSignatures) FSRemove(file, false);
    }
    m_doomedSignatures.clear();
}

int FileEventDB::initialize(const ustring& location) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    if (m_db) {
        TW_INFO(kLog, "FileEventDB has been initialized (no-op)\n");
        return 0;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "FileEventDB: Failed to open database at '%s'. [%d] %s\n", location.c_str(), rc,
                 db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return -1;
    }
    m_db = db;
    size_t slash = location.rfind('/');
    ustring sign_path = (slash == ustring::npos ? ustring(".") : location.substr(0, slash)) + "/sign";
    m_signPath = sign_path;

    bool ok = false;
    char* err = nullptr;
    rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "FileEventDB: Failed to initialize database at '%s'. [%d] %s\n", location.c_str(), rc,
                 err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
    } else if ((rc = sqlite3_create_function(db, "remove_signature", 1, SQLITE_UTF8, this,
                                             &FileEventDB::SQLRemoveSignatureFunction, nullptr, nullptr)) !=
               SQLITE_OK) {
        TW_ERROR(kLog, "FileEventDB: Failed to create function. %s (%d)\n", sqlite3_errmsg(db), rc);
    } else if ((rc = sqlite3_exec(db, "PRAGMA recursive_triggers = true;", nullptr, nullptr, nullptr)) != SQLITE_OK) {
        TW_ERROR(kLog, "FileEventDB: Failed to enable recursive triggers. %s (%d)\n", sqlite3_errmsg(db), rc);
    } else if ((rc = sqlite3_exec(db, kTuning, nullptr, nullptr, nullptr)) != SQLITE_OK) {
        TW_ERROR(kLog, "FileEventDB: Failed to initialize database at '%s'. [%d] %s\n", location.c_str(), rc,
                 sqlite3_errmsg(db));
    } else if ((rc = m_select.prepare(db, kSelectRecord)) != SQLITE_OK ||
               (rc = m_contains.prepare(db, kContains)) != SQLITE_OK ||
               (rc = m_upsert.prepare(db, kUpsertRecord)) != SQLITE_OK ||
               (rc = m_parentUpsert.prepare(db, kUpsertParent)) != SQLITE_OK ||
               (rc = m_begin.prepare(db, "BEGIN;")) != SQLITE_OK ||
               (rc = m_commit.prepare(db, "COMMIT;")) != SQLITE_OK) {
        TW_ERROR(kLog, "FileEventDB: Failed to initialize database at '%s'. [%d] %s\n", location.c_str(), rc,
                 sqlite3_errmsg(db));
    } else {
        ok = true;
    }
    if (!ok) {
        closeLocked();
        return -1;
    }
    m_eventDBPath = location;
    TW_INFO(kLog, "FileEventDB has been initialized with location '%s'\n", m_eventDBPath.c_str());
    TW_INFO(kLog, "FileEventDB::m_signPath has been initialized with location '%s'\n", m_signPath.c_str());
    return 0;
}

void FileEventDB::closeLocked() {
    m_select.finalize();
    m_contains.finalize();
    m_upsert.finalize();
    m_parentUpsert.finalize();
    m_begin.finalize();
    m_commit.finalize();
    if (m_db) {
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close_v2(m_db);
    }
    m_db = nullptr;
    m_doomedSignatures.clear();
    m_eventDBPath.clear();
    m_signPath.clear();
}

void FileEventDB::destroy() {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    if (!m_db) {
        TW_INFO(kLog, "FileEventDB has been deinitialzed (no-op)\n");
        return;
    }
    closeLocked();
    TW_INFO(kLog, "FileEventDB has been deinitialzed\n");
}

ustring FileEventDB::getDBPath() {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    return m_eventDBPath;
}

ustring FileEventDB::getSignPath() {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    return m_signPath;
}

// Runs a batch of statements; a batch that fails inside its own transaction
// has that transaction rolled back so that nothing of it stays. The
// signature files of the records it removed go only once it has committed.
int FileEventDB::execLocked(const char* sql, int& rc, ustring& errmsg) {
    if (!m_db) {
        rc = SQLITE_MISUSE;
        errmsg = "database is not open";
        return -1;
    }
    char* err = nullptr;
    rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &err);
    if (rc == SQLITE_OK) {
        // Every batch ends its own transaction: its removals are committed.
        if (sqlite3_get_autocommit(m_db)) finishSignatureRemovals(true);
        return 0;
    }
    errmsg = err ? err : sqlite3_errmsg(m_db);
    sqlite3_free(err);
    if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
    finishSignatureRemovals(false);
    return -1;
}

int FileEventDB::execMadeLocked(char* text, const char* who, const char* failure) {
    tw_store::SqlText sql(text);
    if (!sql) {
        TW_ERROR(kLog, "%s: Failed to sqlite3_mprintf.\n", who);
        return -1;
    }
    int rc = 0;
    ustring errmsg;
    if (execLocked(sql.get(), rc, errmsg) != 0) {
        TW_ERROR(kLog, "%s: %s (%d).\n", failure, errmsg.c_str(), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::getEventInfo(const ustring& path, DBFileInfo& info) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    info.path.clear();
    if (path.empty()) {
        TW_ERROR(kLog, "The strpath is empty.\n");
        return -1;
    }
    if (!m_db) {
        TW_ERROR(kLog, "sqlite3_prepare_v2 error. event-path: [%s], errmsg: [%s]\n", path.c_str(), errmsg_of(m_db));
        return -1;
    }
    sqlite3_stmt* stmt = m_select.get();
    tw_store::StatementUse use(stmt);
    tw_store::bind_text(stmt, 1, path.str());
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        TW_INFO(kLog, "No record for event-path: [%s]\n", path.c_str());
        return 0;
    }
    if (rc != SQLITE_ROW) {
        TW_ERROR(kLog, "sqlite3_step error. event-path: [%s], errmsg: [%s]\n", path.c_str(), sqlite3_errmsg(m_db));
        return -1;
    }
    using tw_store::column_text;
    using tw_store::column_u64;
    uint64_t row_id = column_u64(stmt, 0);
    info.isExist = sqlite3_column_int(stmt, 1);
    info.syncID = column_u64(stmt, 2);
    info.maxSyncID = column_u64(stmt, 3);
    info.fileType = sqlite3_column_int(stmt, 4);
    info.fileSize = column_u64(stmt, 5);
    info.fileCheckSum = column_text(stmt, 6);
    info.macHash = column_text(stmt, 7);
    info.fileModTime = static_cast<uint32_t>(column_u64(stmt, 8));
    info.execBit = static_cast<uint32_t>(column_u64(stmt, 9));
    info.unixUid = static_cast<uint32_t>(column_u64(stmt, 10));
    info.unixGid = static_cast<uint32_t>(column_u64(stmt, 11));
    info.unixMode = static_cast<uint32_t>(column_u64(stmt, 12));
    info.unixHash = column_text(stmt, 13);
    info.aclAttribute = column_text(stmt, 14);
    info.aclHash = column_text(stmt, 15);
    info.sharePrivDisabled = static_cast<uint32_t>(column_u64(stmt, 16));
    info.sharePrivDenyList = column_text(stmt, 17);
    info.sharePrivRoList = column_text(stmt, 18);
    info.sharePrivRwList = column_text(stmt, 19);
    info.sharePrivHash = column_text(stmt, 20);
    info.inode = column_u64(stmt, 21);
    info.path = column_text(stmt, 22);
    if (info.IsDir()) {
        info.signaturePath.clear();
    } else {
        info.signaturePath = m_signPath + "/" + path_convert(row_id);
    }
    TW_DEBUG(kLog, "file type = [%d], signaturePath = [%s]\n", info.fileType, info.signaturePath.c_str());
    return 1;
}

int FileEventDB::contains(const char* utf8_path, EventInfo& info) {
    if (!m_db) return -1;
    sqlite3_stmt* stmt = m_contains.get();
    tw_store::StatementUse use(stmt);
    sqlite3_bind_text(stmt, 1, utf8_path, -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        info.row_id = tw_store::column_u64(stmt, 0);
        info.sync_id = tw_store::column_u64(stmt, 1);
        return 1;
    }
    if (rc == SQLITE_DONE) return 0;
    TW_ERROR(kLog, "sqlite3_step: [%d] %s\n", rc, sqlite3_errmsg(m_db));
    return -1;
}

namespace {

void bind_record(sqlite3_stmt* stmt, const DBFileInfo& info) {
    using tw_store::bind_text;
    using tw_store::bind_u64;
    sqlite3_bind_int(stmt, 1, 1);
    bind_u64(stmt, 2, info.syncID);
    bind_u64(stmt, 3, info.maxSyncID);
    sqlite3_bind_int64(stmt, 4, static_cast<unsigned>(info.fileType));
    bind_u64(stmt, 5, info.fileSize);
    bind_text(stmt, 6, info.fileCheckSum.str());
    sqlite3_bind_int64(stmt, 7, info.fileModTime);
    sqlite3_bind_int64(stmt, 8, info.execBit);
    bind_text(stmt, 9, info.macHash.str());
    sqlite3_bind_int64(stmt, 10, info.unixUid);
    sqlite3_bind_int64(stmt, 11, info.unixGid);
    sqlite3_bind_int64(stmt, 12, info.unixMode);
    bind_text(stmt, 13, info.unixHash.str());
    bind_text(stmt, 14, info.aclAttribute.str());
    bind_text(stmt, 15, info.aclHash.str());
    sqlite3_bind_int64(stmt, 16, info.sharePrivDisabled);
    bind_text(stmt, 17, info.sharePrivDenyList.str());
    bind_text(stmt, 18, info.sharePrivRoList.str());
    bind_text(stmt, 19, info.sharePrivRwList.str());
    bind_text(stmt, 20, info.sharePrivHash.str());
    bind_u64(stmt, 21, info.inode);
    bind_text(stmt, 22, info.path.str());
}

}  // namespace

// Inserts the record, or updates it when its path is already stored.
int FileEventDB::setSingleRecord(const DBFileInfo& info) {
    int rc;
    {
        sqlite3_stmt* stmt = m_upsert.get();
        tw_store::StatementUse use(stmt);
        bind_record(stmt, info);
        rc = sqlite3_step(stmt);
    }
    if (rc != SQLITE_DONE) {
        TW_ERROR(kLog, "sqlite3_exec(%s) failed. Error code: %d.\n", info.path.c_str(), rc);
        TW_ERROR(kLog, "failed to set record of '%s'\n", info.path.c_str());
        return -1;
    }
    return 0;
}

// Creates the missing ancestors of `path` as folder records and raises the
// maxSyncID of existing ones, from the direct parent up to "/".
int FileEventDB::updateParentRecord(const ustring& path, uint64_t max_sync_id, uint32_t mod_time) {
    std::string current = path.str();
    while (current != "/") {
        size_t slash = current.rfind('/');
        if (slash == std::string::npos) break;
        current = slash == 0 ? std::string("/") : current.substr(0, slash);
        int rc;
        {
            sqlite3_stmt* stmt = m_parentUpsert.get();
            tw_store::StatementUse use(stmt);
            tw_store::bind_u64(stmt, 1, max_sync_id);
            tw_store::bind_text(stmt, 2, current);
            sqlite3_bind_int64(stmt, 3, mod_time);
            rc = sqlite3_step(stmt);
        }
        if (rc != SQLITE_DONE) {
            TW_ERROR(kLog, "sqlite3_exec(%s) failed. Error code: %d.\n", current.c_str(), rc);
            TW_ERROR(kLog, "failed to update parent folder\n");
            return -1;
        }
    }
    return 0;
}

void FileEventDB::setSignature(const ustring& path, const ustring& signature_path) {
    EventInfo ei;
    bool placed = false;
    if (contains(path.c_str(), ei) != 1) {
        TW_ERROR(kLog, "missing record while updating signature (%s)\n", path.c_str());
    } else {
        ustring target = m_signPath + "/" + path_convert(ei.row_id);
        ustring dir = target.substr(0, target.rfind('/'));
        if (FSMKDir(dir, true) != 0) {
            TW_ERROR(kLog, "Failed to Create folder at [%s].\n", dir.c_str());
        } else if (FSRename(signature_path, target, true) != 0) {
            TW_ERROR(kLog, "Failed to rename from [%s] to [%s]\n.", signature_path.c_str(), target.c_str());
        } else {
            placed = true;
        }
    }
    if (!placed) TW_WARNING(kLog, "signature file of '%s' is lost\n", path.c_str());
}

// Runs a prepared statement that returns no rows: SQLITE_OK or the error.
int FileEventDB::runCached(tw_store::Statement& statement) {
    tw_store::StatementUse use(statement.get());
    int rc = sqlite3_step(statement.get());
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int FileEventDB::setEventInfo(const DBFileInfo& info) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    if (info.path.empty()) {
        TW_ERROR(kLog, "The strpath is empty.\n");
        return -1;
    }
    if (!m_db) {
        TW_ERROR(kLog, "failed to set record of '%s'\n", info.path.c_str());
        return -1;
    }
    // The record and its parents are one transaction: a failure leaves
    // neither a record without its parents nor half-raised parents.
    int rc = runCached(m_begin);
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "sqlite3_exec(%s) failed. Error code: %d.\n", info.path.c_str(), rc);
        TW_ERROR(kLog, "failed to set record of '%s'\n", info.path.c_str());
        return -1;
    }
    if (setSingleRecord(info) != 0 || updateParentRecord(info.path, info.maxSyncID, info.fileModTime) != 0) {
        sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
        finishSignatureRemovals(false);
        return -1;
    }
    rc = runCached(m_commit);
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "sqlite3_exec(%s) failed. Error code: %d.\n", info.path.c_str(), rc);
        TW_ERROR(kLog, "failed to set record of '%s'\n", info.path.c_str());
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
        finishSignatureRemovals(false);
        return -1;
    }
    finishSignatureRemovals(true);
    if (info.IsFile() && !info.signaturePath.empty()) setSignature(info.path, info.signaturePath);
    return 0;
}

int FileEventDB::rmEventInfo(const ustring& path) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    if (path == "/") return 0;
    if (path.empty()) {
        // An empty prefix would name every record.
        TW_ERROR(kLog, "The strpath is empty.\n");
        return -1;
    }
    std::string base = path.str();
    std::string below = base + "/";
    std::string upper = tw_store::below_upper_bound(base);
    tw_store::SqlText sql(sqlite3_mprintf("DELETE FROM event_table WHERE (path = %Q OR (path >= %Q AND path < %Q));",
                                          base.c_str(), below.c_str(), upper.c_str()));
    if (!sql) {
        TW_ERROR(kLog, "sqlite3_mprintf: out of memory\n");
        return -1;
    }
    int rc = 0;
    ustring errmsg;
    if (execLocked(sql.get(), rc, errmsg) != 0) {
        TW_ERROR(kLog, "sqlite3_exec: [%d] %s\n", rc, errmsg.c_str());
        return -1;
    }
    return 0;
}

int FileEventDB::getSyncId(uint64_t& sync_id) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    tw_store::Statement stmt;
    int rc = m_db ? stmt.prepare(m_db, "SELECT value FROM config_table WHERE key = 'sync_id';") : SQLITE_MISUSE;
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "sqlite3_prepare_v2: [%d] %s\n", rc, errmsg_of(m_db));
        return -1;
    }
    rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) {
        TW_ERROR(kLog, "sqlite3_step: [%d] %s\n", rc, sqlite3_errmsg(m_db));
        return -1;
    }
    sync_id = tw_store::column_u64(stmt.get(), 0);
    return 0;
}

int FileEventDB::setSyncId(uint64_t sync_id) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    char sql[1024];
    std::snprintf(sql, sizeof sql, "UPDATE config_table SET value = '%" PRIu64 "' WHERE key = 'sync_id';", sync_id);
    int rc = 0;
    ustring errmsg;
    if (execLocked(sql, rc, errmsg) != 0) {
        TW_ERROR(kLog, "sqlite3_exec: [%d] %s\n", rc, errmsg.c_str());
        return -1;
    }
    return 0;
}

int FileEventDB::setSyncIdIf(uint64_t expected, uint64_t sync_id) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    char sql[1024];
    std::snprintf(sql, sizeof sql,
                  "UPDATE config_table SET value = '%" PRIu64 "' WHERE key = 'sync_id' AND value = '%" PRIu64 "';",
                  sync_id, expected);
    int rc = 0;
    ustring errmsg;
    if (execLocked(sql, rc, errmsg) != 0) {
        TW_ERROR(kLog, "sqlite3_exec: [%d] %s\n", rc, errmsg.c_str());
        return -1;
    }
    return sqlite3_changes(m_db) > 0 ? 1 : 0;
}

int FileEventDB::rmAllFolders() {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    int rc = 0;
    ustring errmsg;
    if (execLocked("DELETE FROM event_table WHERE path GLOB '/*/*';", rc, errmsg) != 0) {
        TW_ERROR(kLog, "sqlite3_exec: [%d] %s\n", rc, errmsg.c_str());
        return -1;
    }
    return 0;
}

// Lists the existing records below `prefix` (all of them, or only those
// directly inside it) into `list`, named relative to `prefix`. Rows come in
// path order, so a folder is added before what it holds.
int FileEventDB::listInto(FileList* list, const ustring& prefix, bool recursive, bool limit_sync_id, uint64_t sync_id) {
    std::string base = folder_base(prefix);
    std::string below = base + "/";
    std::string upper = tw_store::below_upper_bound(base);
    char sql[8448];
    sqlite3_snprintf(static_cast<int>(sizeof sql), sql,
                     "SELECT fileType, fileModTime, fileSize, aclHash, path FROM event_table "
                     "WHERE isExist = 1%s AND path > ?1 AND path < ?2%s ORDER BY path;",
                     limit_sync_id ? " AND syncID <= ?3" : "",
                     recursive ? "" : " AND instr(substr(CAST(path AS BLOB), ?4), X'2F') = 0");
    tw_store::Statement stmt;
    int rc = m_db ? stmt.prepare(m_db, sql) : SQLITE_MISUSE;
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "sqlite3_prepare_v2: [%d] %s\n", rc, errmsg_of(m_db));
        return -1;
    }
    tw_store::bind_text(stmt.get(), 1, below);
    tw_store::bind_text(stmt.get(), 2, upper);
    if (limit_sync_id) tw_store::bind_u64(stmt.get(), 3, sync_id);
    if (!recursive) sqlite3_bind_int64(stmt.get(), 4, static_cast<sqlite3_int64>(below.size()) + 1);
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        int type = sqlite3_column_int(stmt.get(), 0);
        FileList::Attribute attr;
        attr.mtime = static_cast<uint32_t>(tw_store::column_u64(stmt.get(), 1));
        attr.size = tw_store::column_u64(stmt.get(), 2);
        attr.acl_hash = tw_store::column_text(stmt.get(), 3);
        const char* path = tw_store::column_text(stmt.get(), 4);
        const char* name = path + below.size();
        if (type != 0) {
            TW_DEBUG(kLog, "getFileList: AddDirectory '%s'\n", name);
            list->AddDirectory(name, attr);
        } else {
            TW_DEBUG(kLog, "getFileList: AddFile '%s'\n", name);
            list->AddFile(name, attr);
        }
    }
    if (rc != SQLITE_DONE) {
        TW_ERROR(kLog, "sqlite3_step: [%d] %s\n", rc, sqlite3_errmsg(m_db));
        return -1;
    }
    return 0;
}

int FileEventDB::getFileList(FileList* list, const ustring& prefix) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    if (!list) return -1;
    return listInto(list, prefix, true, false, 0);
}

int FileEventDB::getFileListWithoutRecursive(FileList* list, const ustring& prefix) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    if (prefix.empty()) return 0;
    if (!list) return -1;
    return listInto(list, prefix, false, false, 0);
}

int FileEventDB::getFileListWithoutRecursive(FileList* list, const ustring& prefix, uint64_t syncID) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    if (prefix.empty()) return 0;
    if (!list) return -1;
    return listInto(list, prefix, false, true, syncID);
}

int FileEventDB::hashLookup(const char* sql, const ustring& file_hash, ustring& path) {
    tw_store::Statement stmt;
    int rc = m_db ? stmt.prepare(m_db, sql) : SQLITE_MISUSE;
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "getFilePathByHash failed : %s (%d).\n", errmsg_of(m_db), rc);
        return -1;
    }
    tw_store::bind_text(stmt.get(), 1, file_hash.str());
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) {
        path = tw_store::column_text(stmt.get(), 0);
        return 1;
    }
    if (rc == SQLITE_DONE) return 0;
    TW_ERROR(kLog, "sqlite3_step: %s (%d)\n", sqlite3_errmsg(m_db), rc);
    return -1;
}

int FileEventDB::getFilePathByHash(const ustring& file_hash, const ustring& /*mac_hash*/, ustring& path) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    return hashLookup("SELECT path FROM event_table WHERE fileCheckSum = ?1  AND isExist = 1 LIMIT 1;", file_hash,
                      path);
}

int FileEventDB::getFilePathByHashFromRecycle(const ustring& file_hash, const ustring& /*mac_hash*/, ustring& path) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    return hashLookup("SELECT path FROM recycle_bin_table WHERE fileCheckSum = ?1  LIMIT 1;", file_hash, path);
}

int FileEventDB::addFileToRecycleBin(const ustring& path, uint64_t size, const ustring& file_hash,
                                     const ustring& mac_hash) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    return execMadeLocked(sqlite3_mprintf("INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, "
                                          "time) VALUES ('%q', %" PRIu64 ", '%q', '%q', %" PRIu64 ");",
                                          path.c_str(), size, file_hash.c_str(), mac_hash.c_str(), now_seconds()),
                          "FileEventDB", "FileEventDB addFileToRecycleBin fail");
}

int FileEventDB::dumpFileToRecycleBin(const ustring& unique_path, const ustring& path) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    return execMadeLocked(
        sqlite3_mprintf("BEGIN TRANSACTION;INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) "
                        "SELECT (%Q), fileSize, fileCheckSum, macHash, strftime('%%s','now') FROM event_table WHERE "
                        "path = %Q;DELETE FROM event_table WHERE path = %Q;END TRANSACTION;",
                        unique_path.c_str(), path.c_str(), path.c_str()),
        "FileEventDB", "FileEventDB dumpFileToRecycleBin fail");
}

int FileEventDB::dumpDirToRecycleBin(const ustring& unique_prefix, const ustring& path) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    std::string base = path.str();
    std::string below = base + "/";
    std::string upper = tw_store::below_upper_bound(base);
    uint64_t now = now_seconds();
    return execMadeLocked(
        sqlite3_mprintf(
            "BEGIN TRANSACTION;INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) VALUES (%Q, "
            "0, "
            "'', '', %" PRIu64
            ");INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) SELECT (%Q || substr(path, "
            "length(%Q)+1)), fileSize, fileCheckSum, macHash, %" PRIu64
            " FROM event_table WHERE fileType = 0 AND (path >= %Q AND path < %Q) ;DELETE FROM event_table WHERE (path "
            "= "
            "%Q OR (path >= %Q AND path < %Q));END TRANSACTION;",
            unique_prefix.c_str(), now, unique_prefix.c_str(), base.c_str(), now, below.c_str(), upper.c_str(),
            base.c_str(), below.c_str(), upper.c_str()),
        "FileEventDB", "FileEventDB dumpDirToRecycleBin fail");
}

int FileEventDB::rmRecycleByPath(const ustring& path) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    tw_store::SqlText sql(sqlite3_mprintf("DELETE FROM recycle_bin_table WHERE path = '%q';", path.c_str()));
    if (!sql) {
        TW_ERROR(kLog, "FilterDB: Failed to sqlite3_mprintf.\n");
        return -1;
    }
    TW_DEBUG(kLog, "rmRecycleByPath sql : %s\n", sql.get());
    int rc = 0;
    ustring errmsg;
    if (execLocked(sql.get(), rc, errmsg) != 0) {
        TW_ERROR(kLog, "FilterDB rmRecycleByPath fail: %s (%d).\n", errmsg.c_str(), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::resetRecycleBin() {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    int rc = 0;
    ustring errmsg;
    if (execLocked("DELETE FROM recycle_bin_table;", rc, errmsg) != 0) {
        TW_ERROR(kLog, "FileEventDB resetRecycleBin fail: %s (%d).\n", errmsg.c_str(), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::recycleQuery(char* sql_text, const std::function<void(sqlite3_stmt*)>& row) {
    tw_store::SqlText sql(sql_text);
    if (!sql) {
        TW_ERROR(kLog, "FileEventDB: Failed to sqlite3_mprintf.\n");
        return -1;
    }
    tw_store::Statement stmt;
    int rc = m_db ? stmt.prepare(m_db, sql.get()) : SQLITE_MISUSE;
    if (rc != SQLITE_OK) {
        TW_ERROR(kLog, "rotateRecycleBin failed : %s (%d).\n", errmsg_of(m_db), rc);
        return -1;
    }
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) row(stmt.get());
    if (rc != SQLITE_DONE) {
        TW_ERROR(kLog, "sqlite3_step: %s (%d)\n", sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::getOldestRecyleTime(uint32_t& time) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    uint32_t oldest = 0;
    int rc = recycleQuery(sqlite3_mprintf("SELECT MIN(time) FROM recycle_bin_table;"),
                          [&](sqlite3_stmt* stmt) { oldest = static_cast<uint32_t>(tw_store::column_u64(stmt, 0)); });
    if (rc == 0) time = oldest;
    return rc;
}

int FileEventDB::getRotateList(uint32_t criteria_time, std::set<ustring>& rotate_list) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    return recycleQuery(
        sqlite3_mprintf("SELECT path FROM recycle_bin_table WHERE path NOT LIKE '/%%/%%' AND time <= %u;",
                        criteria_time),
        [&](sqlite3_stmt* stmt) { rotate_list.insert(ustring(tw_store::column_text(stmt, 0))); });
}

int FileEventDB::rmRotateRecords(uint32_t criteria_time) {
    std::lock_guard<std::mutex> guard(m_dbMutex);
    return execMadeLocked(sqlite3_mprintf("DELETE FROM recycle_bin_table WHERE time <= %u;", criteria_time),
                          "FileEventDB", "FileEventDB : rmRotateRecords fail");
}

int FileEventDB::getPathByInode(uint64_t, ustring&) {
    return -1;
}

int FileEventDB::setPathInode(const ustring&, uint64_t) {
    return -1;
}
