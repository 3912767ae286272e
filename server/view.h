// One view of the server: its index, its files, and the rules by which
// uploads, removals, pulls and downloads change or read them.
//
// Versions. Every change takes the next number of the view's counter as
// its sync id: a new or changed item, an implicitly created parent folder,
// each tombstone of a removal. A file's previous versions stay available
// for patches (the newest `keep_versions` of them); a removed item keeps a
// tombstone so that pulls report the removal.
//
// Upload rules, for a request naming a base version `base` (0: a new item):
//   the path holds a live item:
//     the upload equals it (same kind; for files the same size and hash)
//                                           -> success with the current ids
//                                              (a retry after a lost answer)
//     base == 0, other kind or content      -> SPROTO_ERR_CONFLICT
//     base == its sync id                   -> a new version (other kind:
//                                              SPROTO_ERR_CONFLICT)
//     any other base                        -> SPROTO_ERR_UPLOAD_BASE_CHANGED
//   the path is free (never used or removed):
//     base != 0                             -> SPROTO_ERR_UPLOAD_NOBASE
//     a file above it                       -> SPROTO_ERR_CONFLICT
//     otherwise a new item, missing parent folders created first
// A new version whose content, time and executable bit all equal the
// current ones is no change: the current ids are answered.
//
// Removal rules (base sync id `base`, base max id `max`):
//   no live item                            -> SPROTO_ERR_REMOVE_NOFILE
//   base != its sync id                     -> SPROTO_ERR_REMOVE_MODIFIED
//   a folder holding a live item newer than max
//                                           -> SPROTO_ERR_REMOVE_MODIFIED
//   otherwise every live item below gets a tombstone, deepest first, then
//   the item itself (so that a folder's tombstone is the newest of its
//   sub-tree).
//
// Thread safety: every public operation takes `mutex_` for its index work;
// heavy work (receiving data, hashing, patching, moving a new blob into the
// store) happens outside it, and Commit re-checks the rules under it in the
// transaction that applies them, so two uploads racing for one path end as
// one new version and one conflict or equal-version answer. Blobs
// in use by a transfer are pinned: a pinned blob that loses its last
// reference is unlinked only when the last pin goes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "server/content_store.h"
#include "server/view_index.h"

namespace tw_server {

// The outcome of an operation: success, an error to answer, or a failure
// of the server itself (the connection is closed after a log line).
struct Status {
    uint32_t code = 0;
    bool broken = false;
    std::string reason;

    bool ok() const { return code == 0 && !broken; }
    static Status Ok() { return {}; }
    static Status Error(uint32_t code, std::string reason) { return {code, false, std::move(reason)}; }
    static Status Failure(std::string reason) { return {0, true, std::move(reason)}; }
};

struct ViewConfig {
    bool read_only = false;
    bool durable = true;
    uint32_t keep_versions = 3;
};

// What an upload asks for.
struct UploadIntent {
    std::string path;
    bool is_dir = false;
    uint64_t base_sync_id = 0;
    // Files: the new content.
    uint64_t size = 0;
    std::string hash;
    // Metadata; `has_*` false keeps the base version's value (a new item
    // gets the current time and 0).
    bool has_mtime = false;
    uint64_t mtime = 0;
    bool has_exec_bit = false;
    uint32_t exec_bit = 0;
};

enum class UploadKind { Create, Update, Same };

struct UploadDecision {
    UploadKind kind = UploadKind::Create;
    Entry current;  // the live item at the path (Update, Same)
};

// Where the content of a file upload comes from at commit.
struct NewContent {
    // A file holding the content (flushed, in the view's or the server's
    // scratch space); it is moved into the store or removed.
    std::string temp;
    // Or an existing blob.
    uint64_t file_id = 0;
    // Or the bytes themselves (small contents), kept in the index.
    bool in_memory = false;
    std::string bytes;
};

// Contents up to this size are kept in the index instead of a file of
// their own: a small upload is then one transaction, without creating,
// moving or flushing a file.
constexpr uint64_t kInlineContentLimit = 65536;

struct UploadResult {
    Entry entry;  // the item as the index now holds it
    bool changed = false;
};

// The condition of a pull that fetches what a selective-sync filter held
// back: only matching items are reported.
struct PullCondition {
    enum Kind { None, Extension, Prefix, Name, Size } kind = None;
    std::string text;
    uint64_t min_size = 0;
    uint64_t max_size = 0;

    // Whether an entry (path relative to the pulled folder) matches.
    bool Matches(const Entry& entry, const std::string& relative) const;
};

// What a download of a file serves.
struct DownloadPlan {
    Entry entry;
    // The client's version has the same content: nothing to send.
    bool refer = false;
    // A kept version of the file to patch against (0: send it whole).
    uint64_t base_file_id = 0;
};

// Seconds a resume token lives after its last use.
constexpr int64_t kTokenMaxAge = 86400;
// How long a request waits for another one to let go of its token.
constexpr std::chrono::milliseconds kTokenWait{10000};

class View {
public:
    View(uint64_t id, std::string dir, const ViewConfig& config);

    // Opens the index and the files, removes what a crash left half-done.
    int Open(std::string& error);

    uint64_t id() const { return id_; }
    const ViewConfig& config() const { return config_; }
    const ContentStore& store() const { return store_; }

    Status Lookup(const std::string& path, Entry& entry, bool& live);

    // Upload rules without changing anything.
    Status Decide(const UploadIntent& intent, UploadDecision& decision);
    // The blob holding this content, 0 when none.
    Status FindContent(const std::string& hash, uint64_t size, uint64_t& file_id);
    // Applies an upload: the rules again, then the new version. `content`
    // is consumed whatever the outcome.
    Status Commit(const UploadIntent& intent, NewContent content, UploadResult& result);

    Status Remove(const std::string& path, uint64_t base_sync_id, uint64_t base_max_id);

    // One page of changes below `folder` (which must be "/" or a live
    // folder) after `from`; `next` is the sync id of the last one, or
    // `from` when there is none.
    Status Pull(const std::string& folder, bool recursive, uint64_t from, const PullCondition& condition,
                uint32_t page_size, std::vector<Entry>& out, uint64_t& next);

    // Looks up what a download of `path` serves against the client's
    // version `base_sync_id`; pins the blobs the plan names.
    Status PlanDownload(const std::string& path, uint64_t base_sync_id, DownloadPlan& plan);

    // Pins a blob: its file (made from the index for a small one) stays
    // while pinned. False when it is gone, when `hash` is given and the blob
    // holds other content, or when its file cannot be made.
    bool Pin(uint64_t file_id, const std::string* hash = nullptr);
    void Unpin(uint64_t file_id);

    // Resume tokens.
    Status IssueToken(std::string& token);
    // 1 found, 0 unknown; the record's `used` time is refreshed.
    Status GetToken(const std::string& token, TokenRecord& record, bool& found);
    Status PutToken(const TokenRecord& record);
    // Marks a token as being used by one request, waiting up to `wait` for
    // another request to let go of it (a client that lost its connection
    // is usually back before the server has finished with the old one);
    // false when it is still in use then.
    bool TryBusy(const std::string& token, std::chrono::milliseconds wait = kTokenWait);
    void Unbusy(const std::string& token);
    // Waits (up to `wait`) until no request uses the token; false if one still does.
    bool WaitIdle(const std::string& token, std::chrono::milliseconds wait = kTokenWait);
    // Removes tokens unused for `max_age` seconds, with their files.
    void PruneTokens(int64_t max_age);

    Status IntegrityCheck(std::string& result);

private:
    Status DecideLocked(const UploadIntent& intent, UploadDecision& decision);
    // `installed`: the blob id the new content was stored under (0: none);
    // set to 0 when the commit made the index name it.
    Status CommitLocked(const UploadIntent& intent, const NewContent& content, uint64_t& installed,
                        UploadResult& result, std::vector<uint64_t>& unlink_after);
    // Drops the blobs in `candidates` that nothing references any more;
    // their files go into `unlink_after` (or wait for their last pin).
    int CollectLocked(const std::vector<uint64_t>& candidates, std::vector<uint64_t>& unlink_after);
    void UnlinkBlobs(const std::vector<uint64_t>& file_ids);
    // Makes the file of a blob kept in the index, if it has none yet.
    bool MaterializeLocked(uint64_t file_id);

    const uint64_t id_;
    const ViewConfig config_;
    ContentStore store_;

    std::mutex mutex_;  // guards index_, pins_, doomed_, busy_tokens_, last_prune_; a leaf lock
    ViewIndex index_;
    std::map<uint64_t, int> pins_;
    std::set<uint64_t> doomed_;  // pinned blobs without a contents row
    std::set<std::string> busy_tokens_;
    std::condition_variable token_released_;  // signalled whenever busy_tokens_ loses one
    int64_t last_prune_ = 0;
    // The id the next new blob is stored under: above every id the index
    // ever used, so that a blob installed before its commit never meets
    // another one's name.
    std::atomic<uint64_t> next_blob_id_{1};
};

// The content hash form: 32 lower-case hexadecimal digits.
bool IsContentHash(const std::string& hash);

}  // namespace tw_server
