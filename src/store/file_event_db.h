// A session's database of synchronised items: one record per file or folder
// in step with the server, the last pulled sync id, and the table of items
// moved into the session's recycle folder. Each file record can own a
// signature file kept in the "sign" folder beside the database and named
// after the record's row id; deleting a record in any way deletes its
// signature file: a trigger calls the connection's remove_signature(), which
// notes the file, and the file is deleted once the deletion has committed
// (a rolled-back deletion keeps the record and its signature file both).
//
// Paths are event paths: a leading "/", "/" separators. Prefix matches are
// byte-exact: no character of a path acts as a wildcard and letter case
// matters. One connection per instance; a mutex serialises every operation.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "base/ustring.h"
#include "store/db_file_info.h"
#include "store/sqlite_util.h"

class FileList;

class FileEventDB {
public:
    struct EventInfo {
        uint64_t row_id = 0;
        uint64_t sync_id = 0;
    };

    FileEventDB();
    ~FileEventDB();
    FileEventDB(const FileEventDB&) = delete;
    FileEventDB& operator=(const FileEventDB&) = delete;

    // Results are 0 on success and -1 on failure unless said otherwise.

    // Opens (creating if needed) the database at `location`; the signature
    // folder is `location`'s folder + "/sign". A second call is a no-op.
    int initialize(const ustring& location);
    void destroy();

    // 1 and the record of `path`, 0 when there is none, -1 on an empty path
    // or a database failure.
    int getEventInfo(const ustring& path, DBFileInfo& info);
    // Writes the record, creates or raises its parent folders' records and
    // moves `info.signaturePath` (if any) into place, all or nothing for the
    // records; a signature file that cannot be moved is only logged.
    int setEventInfo(const DBFileInfo& info);
    // Deletes the record of `path` and everything below it; "/" is refused
    // (0, nothing deleted).
    int rmEventInfo(const ustring& path);
    int getSyncId(uint64_t& sync_id);
    int setSyncId(uint64_t sync_id);
    // Stores `sync_id` only if the stored id still equals `expected`, in one
    // statement: 1 stored, 0 the stored id differs (nothing changed), -1 on
    // a database failure. So a pull that started from `expected` cannot
    // overwrite an id that someone else reset meanwhile.
    int setSyncIdIf(uint64_t expected, uint64_t sync_id);
    // Deletes every record below the first level.
    int rmAllFolders();

    // Listings of existing records into `list`, parents before children.
    // Every record below `prefix` (all records for "" or "/").
    int getFileList(FileList* list, const ustring& prefix);
    // The records directly inside `prefix`; "" lists nothing.
    int getFileListWithoutRecursive(FileList* list, const ustring& prefix);
    // As above, limited to records whose syncID is at most `syncID`.
    int getFileListWithoutRecursive(FileList* list, const ustring& prefix, uint64_t syncID);

    // 1 and the path of some existing record with the content hash, 0 when
    // there is none, -1 on failure. `mac_hash` is not used.
    int getFilePathByHash(const ustring& file_hash, const ustring& mac_hash, ustring& path);
    int getFilePathByHashFromRecycle(const ustring& file_hash, const ustring& mac_hash, ustring& path);

    // The recycle table.
    int addFileToRecycleBin(const ustring& path, uint64_t size, const ustring& file_hash, const ustring& mac_hash);
    int dumpFileToRecycleBin(const ustring& unique_path, const ustring& path);
    int dumpDirToRecycleBin(const ustring& unique_prefix, const ustring& path);
    int rmRecycleByPath(const ustring& path);
    int resetRecycleBin();
    // The smallest recycle time, 0 for an empty table.
    int getOldestRecyleTime(uint32_t& time);
    // Adds the first-level recycle paths with time <= criteria_time.
    int getRotateList(uint32_t criteria_time, std::set<ustring>& rotate_list);
    int rmRotateRecords(uint32_t criteria_time);

    // Not supported on this platform: always -1.
    int getPathByInode(uint64_t inode, ustring& path);
    int setPathInode(const ustring& path, uint64_t inode);

    // The signature file name of a row id, relative to the signature folder:
    // the id in lower-case hex, two digits per byte without leading zero
    // bytes, every byte but the last a folder level, the last as "." + hex.
    // 5 gives ".05", 0x1234 gives "12/.34", 0x10000 gives "01/00/.00".
    static ustring path_convert(uint64_t row_id);

    ustring getDBPath();
    ustring getSignPath();

private:
    int contains(const char* utf8_path, EventInfo& info);
    int setSingleRecord(const DBFileInfo& info);
    int updateParentRecord(const ustring& path, uint64_t max_sync_id, uint32_t mod_time);
    void setSignature(const ustring& path, const ustring& signature_path);
    int listInto(FileList* list, const ustring& prefix, bool recursive, bool limit_sync_id, uint64_t sync_id);
    int execLocked(const char* sql, int& rc, ustring& errmsg);
    int runCached(tw_store::Statement& statement);
    // Runs `text` (from sqlite3_mprintf, taken over; null when it could not
    // be made): 0, or -1 after logging "<who>: Failed to sqlite3_mprintf." or
    // "<failure>: <error> (<code>).".
    int execMadeLocked(char* text, const char* who, const char* failure);
    int hashLookup(const char* sql, const ustring& file_hash, ustring& path);
    int recycleQuery(char* sql, const std::function<void(sqlite3_stmt*)>& row);
    void closeLocked();
    static void SQLRemoveSignatureFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv);
    // Deletes the noted signature files when their records' removal has
    // committed, and forgets them either way. REQUIRES: m_dbMutex held, no
    // transaction open.
    void finishSignatureRemovals(bool committed);

    ustring m_eventDBPath;
    ustring m_signPath;
    std::mutex m_dbMutex;
    sqlite3* m_db = nullptr;
    // Signature files of records removed by the transaction in progress.
    // Guarded by m_dbMutex (the trigger runs inside a locked call).
    std::vector<ustring> m_doomedSignatures;

    // Statements of the frequent operations, prepared once per connection.
    tw_store::Statement m_select;
    tw_store::Statement m_contains;
    tw_store::Statement m_upsert;
    tw_store::Statement m_parentUpsert;
    tw_store::Statement m_begin;
    tw_store::Statement m_commit;
};
