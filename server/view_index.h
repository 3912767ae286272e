// The index of one view: an SQLite database of the view's entries, the old
// versions kept for patches, the content blobs they name, the change
// counter and the resume tokens.
//
// Schema (one file, WAL journal):
//   meta(key, value)            "last_sync_id": the highest sync id handed out;
//                               "schema": the layout version
//   entries(path PRIMARY KEY)   one row per path ever used: the live item, or
//                               the tombstone of its removal (is_removed = 1);
//                               sync_id is unique across the view
//   versions(path, sync_id)     older versions of files, newest kept
//   contents(file_id)           one row per content blob (hash, size); the
//                               blob is the file content/<file_id>, or, for
//                               small ones, `data` in the row itself (the file
//                               is then made from it when a transfer needs one)
//   tokens(token)               resume tokens: an upload's progress or result,
//                               a download's pinned version
// Paths are stored as BLOBs and compared byte by byte.
//
// Invariants (kept by View, which owns the only writer):
//   1. Every live entry's parent folder is a live folder entry (the root "/"
//      has no entry), created with a lower sync id; a pull from 0 therefore
//      names folders before their contents, unless a folder itself was
//      changed later.
//   2. A folder's max_id is the highest sync id in its sub-tree, tombstones
//      included; a file's max_id is its sync id.
//   3. Every file_id named by a live entry or a version has a contents row,
//      and its blob is complete on disk before the row is committed.
//
// Thread safety: none; the owner serialises every call (View's mutex).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace tw_server {

struct Entry {
    std::string path;
    bool is_dir = false;
    bool is_removed = false;
    uint64_t sync_id = 0;
    uint64_t max_id = 0;
    uint64_t size = 0;
    std::string hash;
    uint64_t mtime = 0;
    uint32_t exec_bit = 0;
    uint64_t file_id = 0;  // 0 for folders and tombstones
};

struct Version {
    uint64_t sync_id = 0;
    uint64_t file_id = 0;
    uint64_t size = 0;
    std::string hash;
    uint64_t mtime = 0;
    uint32_t exec_bit = 0;
};

enum class TokenKind : int { Unbound = 0, Upload = 1, Download = 2 };

struct TokenRecord {
    std::string token;
    int64_t created = 0;  // seconds since 1970
    int64_t used = 0;
    TokenKind kind = TokenKind::Unbound;
    std::string path;
    // Upload: the result is stored once committed, and `held` is the number
    // of bytes the upload had sent.
    bool committed = false;
    uint64_t held = 0;
    // Upload result, or the version a download serves.
    uint64_t sync_id = 0;
    uint64_t max_id = 0;
    bool is_dir = false;
    uint64_t file_id = 0;
    bool refer = false;
    // Download: the payload is a patch in `payload` (else the content blob).
    bool is_delta = false;
    std::string payload;
    uint64_t payload_size = 0;
    uint64_t size = 0;
    std::string hash;
    uint64_t mtime = 0;
    uint32_t exec_bit = 0;
};

class ViewIndex {
public:
    ViewIndex() = default;
    ~ViewIndex();
    ViewIndex(const ViewIndex&) = delete;
    ViewIndex& operator=(const ViewIndex&) = delete;

    // Opens or creates the index. `durable`: every commit is flushed to disk
    // (synchronous=FULL); otherwise nothing is (OFF): a commit stays atomic
    // when the process dies, since the system holds what was written, but a
    // power loss may lose or damage the last ones. `read_only` opens an
    // existing index for reading only. 0, or -1 with `error`.
    int Open(const std::string& file, bool durable, bool read_only, std::string& error);
    void Close();

    // A write transaction (taking the write lock at once), or a read one.
    int Begin();
    int BeginRead();
    int Commit();
    void Rollback();

    // 1 found, 0 absent, -1 failure, for every lookup below.
    int Get(const std::string& path, Entry& entry);
    int Put(const Entry& entry);
    // Raises the max_id of `path` to `id` when it is lower.
    int RaiseMaxId(const std::string& path, uint64_t id);
    // The next sync id (the counter is raised within the open transaction).
    int NextSyncId(uint64_t& id);
    int LastSyncId(uint64_t& id);

    // Live entries strictly below `folder`, in path order.
    int LiveBelow(const std::string& folder, std::vector<Entry>& out);
    // 1 when a live entry strictly below `folder` has a sync id above `id`.
    int HasLiveBelowAbove(const std::string& folder, uint64_t id);

    // Entries below `folder` (direct children only unless `recursive`) with
    // a sync id above `from`, in sync id order, live ones only when
    // `live_only`; `visit` returns false to stop.
    int ScanChanges(const std::string& folder, bool recursive, uint64_t from, bool live_only,
                    const std::function<bool(const Entry&)>& visit);
    // Every live entry in path order.
    int ScanLive(const std::function<bool(const Entry&)>& visit);

    int GetVersion(const std::string& path, uint64_t sync_id, Version& out);
    int PushVersion(const std::string& path, const Version& version);
    // Drops all but the `keep` newest versions of `path` (all of them for
    // DropVersions); the file ids they named are appended to `dropped`.
    int TrimVersions(const std::string& path, uint32_t keep, std::vector<uint64_t>& dropped);
    int DropVersions(const std::string& path, std::vector<uint64_t>& dropped);

    int FindContent(const std::string& hash, uint64_t size, uint64_t& file_id);
    int GetContent(uint64_t file_id, std::string& hash, uint64_t& size);
    int AddContent(const std::string& hash, uint64_t size, uint64_t& file_id);
    // The same under an id chosen by the caller (above every id used so far),
    // with the bytes in the row when `data` is given.
    int AddContentWithId(uint64_t file_id, const std::string& hash, uint64_t size, const std::string* data = nullptr);
    // The bytes of a blob held in its row: 1 with `data`, 0 when the blob
    // is a file (or unknown), -1 on failure.
    int GetContentData(uint64_t file_id, std::string& data);
    // The highest blob id ever given out (rows deleted since included).
    int HighestContentId(uint64_t& file_id);
    // 1 when a live entry or a version names the blob.
    int ContentReferenced(uint64_t file_id);
    int DeleteContent(uint64_t file_id);
    int ContentIds(std::set<uint64_t>& out);

    int GetToken(const std::string& token, TokenRecord& out);
    int PutToken(const TokenRecord& record);
    int DeleteToken(const std::string& token);
    // Tokens last used before `before`.
    int TokensUsedBefore(int64_t before, std::vector<TokenRecord>& out);
    int TokenCount(uint64_t& count);

    // The text of PRAGMA integrity_check ("ok" when sound).
    int IntegrityCheck(std::string& result);

    const std::string& last_error() const { return last_error_; }

private:
    int Exec(const char* sql);
    sqlite3_stmt* Prepare(sqlite3_stmt*& slot, const char* sql);
    int Fail(const char* what);
    int ReadEntries(sqlite3_stmt* stmt, const std::function<bool(const Entry&)>& visit);

    sqlite3* db_ = nullptr;
    std::string last_error_;

    sqlite3_stmt* get_ = nullptr;
    sqlite3_stmt* put_ = nullptr;
    sqlite3_stmt* raise_max_ = nullptr;
    sqlite3_stmt* next_id_ = nullptr;
    sqlite3_stmt* last_id_ = nullptr;
    sqlite3_stmt* live_below_ = nullptr;
    sqlite3_stmt* live_above_ = nullptr;
    sqlite3_stmt* scan_range_ = nullptr;
    sqlite3_stmt* scan_range_live_ = nullptr;
    sqlite3_stmt* scan_children_ = nullptr;
    sqlite3_stmt* scan_children_live_ = nullptr;
    sqlite3_stmt* scan_live_ = nullptr;
    sqlite3_stmt* get_version_ = nullptr;
    sqlite3_stmt* push_version_ = nullptr;
    sqlite3_stmt* old_versions_ = nullptr;
    sqlite3_stmt* delete_version_ = nullptr;
    sqlite3_stmt* find_content_ = nullptr;
    sqlite3_stmt* get_content_ = nullptr;
    sqlite3_stmt* add_content_ = nullptr;
    sqlite3_stmt* add_content_id_ = nullptr;
    sqlite3_stmt* content_data_ = nullptr;
    sqlite3_stmt* content_ref_ = nullptr;
    sqlite3_stmt* delete_content_ = nullptr;
    sqlite3_stmt* content_ids_ = nullptr;
    sqlite3_stmt* get_token_ = nullptr;
    sqlite3_stmt* put_token_ = nullptr;
    sqlite3_stmt* delete_token_ = nullptr;
    sqlite3_stmt* tokens_before_ = nullptr;
    sqlite3_stmt* token_count_ = nullptr;
};

}  // namespace tw_server
