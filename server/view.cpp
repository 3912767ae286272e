#include "server/view.h"

#include <errno.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "base/logger.h"
#include "server/server_errors.h"
#include "server/server_paths.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";
constexpr uint64_t kMaxTokens = 100000;
constexpr int64_t kPruneEverySeconds = 60;

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The extension of a name: the text after its last "." when that is not
// the first character; none otherwise.
bool ExtensionOf(std::string_view name, std::string_view& ext) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    ext = name.substr(dot + 1);
    return true;
}

// A transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(ViewIndex& index) : index_(index), open_(index.Begin() == 0) {}
    ~Transaction() {
        if (open_) index_.Rollback();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool open() const { return open_; }
    int Commit() {
        open_ = false;
        if (index_.Commit() == 0) return 0;
        index_.Rollback();
        return -1;
    }

private:
    ViewIndex& index_;
    bool open_;
};

Status IndexFailure(const ViewIndex& index) {
    return Status::Failure("index: " + index.last_error());
}

Version AsVersion(const Entry& e) {
    Version v;
    v.sync_id = e.sync_id;
    v.file_id = e.file_id;
    v.size = e.size;
    v.hash = e.hash;
    v.mtime = e.mtime;
    v.exec_bit = e.exec_bit;
    return v;
}

}  // namespace

bool IsContentHash(const std::string& hash) {
    if (hash.size() != 32) return false;
    for (char c : hash) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool PullCondition::Matches(const Entry& entry, const std::string& relative) const {
    std::string_view name = NameOf(relative);
    switch (kind) {
        case None:
            return true;
        case Extension: {
            if (entry.is_dir) return false;
            if (text == "*") return true;
            std::string_view ext;
            return ExtensionOf(name, ext) && EqualsIgnoringCase(ext, text);
        }
        case Prefix: {
            std::string_view path(relative);
            if (path.size() < text.size() || !EqualsIgnoringCase(path.substr(0, text.size()), text)) return false;
            return path.size() == text.size() || path[text.size()] == '/';
        }
        case Name:
            return !entry.is_dir && EqualsIgnoringCase(name, text);
        case Size:
            return !entry.is_dir && entry.size >= min_size && entry.size <= max_size;
    }
    return false;
}

View::View(uint64_t id, std::string dir, const ViewConfig& config)
    : id_(id), config_(config), store_(std::move(dir), config.durable) {}

int View::Open(std::string& error) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (store_.Open(error) != 0) return -1;
    if (index_.Open(store_.dir() + "/index.sqlite", config_.durable, false, error) != 0) return -1;

    // A crash between installing a blob and committing its row leaves an
    // orphan; parts and payloads of vanished tokens are orphans too.
    std::set<uint64_t> known;
    if (index_.ContentIds(known) != 0) {
        error = "cannot list the contents of " + store_.dir() + ": " + index_.last_error();
        return -1;
    }
    store_.RemoveOrphans(known);
    uint64_t highest = 0;
    if (index_.HighestContentId(highest) != 0) {
        error = "cannot read the contents of " + store_.dir() + ": " + index_.last_error();
        return -1;
    }
    next_blob_id_.store(highest + 1);
    std::error_code ec;
    for (const char* sub : {"/uploads", "/payloads"}) {
        for (const auto& file : std::filesystem::directory_iterator(store_.dir() + sub, ec)) {
            TokenRecord record;
            if (index_.GetToken(file.path().filename().string(), record) != 1) {
                std::filesystem::remove_all(file.path(), ec);
            }
        }
    }
    last_prune_ = 0;
    return 0;
}

Status View::Lookup(const std::string& path, Entry& entry, bool& live) {
    std::lock_guard<std::mutex> guard(mutex_);
    int rc = index_.Get(path, entry);
    if (rc < 0) return IndexFailure(index_);
    live = rc == 1 && !entry.is_removed;
    return Status::Ok();
}

Status View::Decide(const UploadIntent& intent, UploadDecision& decision) {
    std::lock_guard<std::mutex> guard(mutex_);
    // One read transaction for all the look-ups instead of one each.
    if (index_.BeginRead() != 0) return IndexFailure(index_);
    Status status = DecideLocked(intent, decision);
    index_.Commit();
    return status;
}

Status View::DecideLocked(const UploadIntent& intent, UploadDecision& decision) {
    Entry current;
    int rc = index_.Get(intent.path, current);
    if (rc < 0) return IndexFailure(index_);
    if (rc == 1 && !current.is_removed) {
        decision.current = current;
        bool same = current.is_dir == intent.is_dir &&
                    (intent.is_dir || (current.size == intent.size && current.hash == intent.hash));
        if (intent.base_sync_id != 0 && intent.base_sync_id == current.sync_id) {
            if (current.is_dir != intent.is_dir) {
                return Status::Error(SPROTO_ERR_CONFLICT, "the base version is of the other kind");
            }
            decision.kind = UploadKind::Update;
            return Status::Ok();
        }
        if (same) {
            decision.kind = UploadKind::Same;
            return Status::Ok();
        }
        if (intent.base_sync_id == 0) {
            return Status::Error(SPROTO_ERR_CONFLICT,
                                 "the path holds another " + std::string(current.is_dir ? "folder" : "file"));
        }
        return Status::Error(SPROTO_ERR_UPLOAD_BASE_CHANGED, "base " + std::to_string(intent.base_sync_id) +
                                                                 ", current " + std::to_string(current.sync_id));
    }
    if (intent.base_sync_id != 0) {
        return Status::Error(SPROTO_ERR_UPLOAD_NOBASE,
                             "the base version " + std::to_string(intent.base_sync_id) + " no longer exists");
    }
    for (const std::string& ancestor : AncestorsOf(intent.path)) {
        Entry above;
        rc = index_.Get(ancestor, above);
        if (rc < 0) return IndexFailure(index_);
        if (rc == 1 && !above.is_removed && !above.is_dir) {
            return Status::Error(SPROTO_ERR_CONFLICT, "the file " + ancestor + " is in the way");
        }
    }
    decision.kind = UploadKind::Create;
    return Status::Ok();
}

Status View::FindContent(const std::string& hash, uint64_t size, uint64_t& file_id) {
    std::lock_guard<std::mutex> guard(mutex_);
    file_id = 0;
    if (index_.FindContent(hash, size, file_id) < 0) return IndexFailure(index_);
    return Status::Ok();
}

Status View::Commit(const UploadIntent& intent, NewContent content, UploadResult& result) {
    // A new blob goes into the store before the lock is taken: the rename
    // and the flush of its folder are the slow part, and nothing names the
    // blob before the commit below (a crash in between leaves an orphan,
    // removed at the next start).
    uint64_t installed = 0;
    if (!intent.is_dir && content.file_id == 0 && !content.temp.empty()) {
        uint64_t id = next_blob_id_.fetch_add(1);
        int err = store_.Install(content.temp, id);
        if (err != 0) {
            unlink(content.temp.c_str());
            if (err == ENOSPC || err == EDQUOT) return Status::Error(SPROTO_ERR_DISKFULL, "the disk is full");
            return Status::Failure(std::string("cannot store the content: ") + strerror(err));
        }
        installed = id;
        content.temp.clear();
    }
    std::vector<uint64_t> unlink_after;
    Status status;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        status = CommitLocked(intent, content, installed, result, unlink_after);
        for (uint64_t id : unlink_after) {
            if (pins_.count(id)) doomed_.insert(id);
        }
        unlink_after.erase(std::remove_if(unlink_after.begin(), unlink_after.end(),
                                          [this](uint64_t id) { return pins_.count(id) != 0; }),
                           unlink_after.end());
    }
    // Not named by the index (refused, or the content was held already).
    if (installed != 0) unlink_after.push_back(installed);
    if (!content.temp.empty()) unlink(content.temp.c_str());
    UnlinkBlobs(unlink_after);
    return status;
}

Status View::CommitLocked(const UploadIntent& intent, const NewContent& content, uint64_t& installed,
                          UploadResult& result, std::vector<uint64_t>& unlink_after) {
    // The rules and their application in one transaction.
    Transaction txn(index_);
    if (!txn.open()) return IndexFailure(index_);
    UploadDecision decision;
    Status status = DecideLocked(intent, decision);
    if (!status.ok()) return status;
    const Entry& current = decision.current;
    result.changed = false;
    if (decision.kind == UploadKind::Same) {
        result.entry = current;
        return Status::Ok();
    }

    const bool update = decision.kind == UploadKind::Update;
    const uint64_t now = static_cast<uint64_t>(Now());
    Entry next;
    next.path = intent.path;
    next.is_dir = intent.is_dir;
    next.mtime = intent.has_mtime ? intent.mtime : (update ? current.mtime : now);
    next.exec_bit = intent.has_exec_bit ? intent.exec_bit : (update ? current.exec_bit : 0);
    if (!intent.is_dir) {
        next.size = intent.size;
        next.hash = intent.hash;
    }
    if (update && next.mtime == current.mtime && next.exec_bit == current.exec_bit &&
        (intent.is_dir || (current.size == next.size && current.hash == next.hash))) {
        result.entry = current;
        return Status::Ok();
    }

    uint64_t named = 0;  // the installed blob, once the new row names it
    if (!intent.is_dir) {
        if (content.file_id != 0) {
            std::string hash;
            uint64_t size = 0;
            int rc = index_.GetContent(content.file_id, hash, size);
            if (rc < 0) return IndexFailure(index_);
            if (rc == 0 || hash != intent.hash || size != intent.size) {
                return Status::Error(SPROTO_ERR_UPLOAD, "the content " + std::to_string(content.file_id) +
                                                            " is not held with this size and hash");
            }
            next.file_id = content.file_id;
        } else {
            int rc = index_.FindContent(intent.hash, intent.size, next.file_id);
            if (rc < 0) return IndexFailure(index_);
            if (rc == 0 && content.in_memory) {
                next.file_id = next_blob_id_.fetch_add(1);
                if (index_.AddContentWithId(next.file_id, intent.hash, intent.size, &content.bytes) != 0) {
                    return IndexFailure(index_);
                }
            } else if (rc == 0) {
                if (installed == 0) return Status::Failure("an upload without content");
                if (index_.AddContentWithId(installed, intent.hash, intent.size) != 0) return IndexFailure(index_);
                next.file_id = named = installed;
            }
        }
    }

    std::vector<std::string> ancestors = AncestorsOf(intent.path);
    if (!update) {
        for (const std::string& ancestor : ancestors) {
            Entry above;
            int rc = index_.Get(ancestor, above);
            if (rc < 0) return IndexFailure(index_);
            if (rc == 1 && !above.is_removed) continue;
            Entry folder;
            folder.path = ancestor;
            folder.is_dir = true;
            folder.mtime = now;
            if (index_.NextSyncId(folder.sync_id) != 0) return IndexFailure(index_);
            folder.max_id = folder.sync_id;
            if (index_.Put(folder) != 0) return IndexFailure(index_);
        }
    }
    if (index_.NextSyncId(next.sync_id) != 0) return IndexFailure(index_);
    next.max_id = next.sync_id;

    std::vector<uint64_t> dropped;
    if (update && !current.is_dir) {
        if (index_.PushVersion(current.path, AsVersion(current)) != 0 ||
            index_.TrimVersions(current.path, config_.keep_versions, dropped) != 0) {
            return IndexFailure(index_);
        }
    }
    if (index_.Put(next) != 0) return IndexFailure(index_);
    for (const std::string& ancestor : ancestors) {
        if (index_.RaiseMaxId(ancestor, next.sync_id) != 0) return IndexFailure(index_);
    }
    std::vector<uint64_t> collected;
    if (CollectLocked(dropped, collected) != 0) return IndexFailure(index_);
    if (txn.Commit() != 0) return IndexFailure(index_);

    if (named != 0) installed = 0;
    unlink_after.insert(unlink_after.end(), collected.begin(), collected.end());
    result.entry = next;
    result.changed = true;
    return Status::Ok();
}

int View::CollectLocked(const std::vector<uint64_t>& candidates, std::vector<uint64_t>& unlink_after) {
    std::set<uint64_t> unique(candidates.begin(), candidates.end());
    unique.erase(0);
    for (uint64_t id : unique) {
        int rc = index_.ContentReferenced(id);
        if (rc < 0) return -1;
        if (rc == 1) continue;
        if (index_.DeleteContent(id) != 0) return -1;
        unlink_after.push_back(id);
    }
    return 0;
}

bool View::MaterializeLocked(uint64_t file_id) {
    std::string path = store_.BlobPath(file_id);
    if (access(path.c_str(), F_OK) == 0) return true;
    std::string data;
    if (index_.GetContentData(file_id, data) != 1) return false;
    // Made aside and renamed, so that no reader meets half a file. Not
    // flushed: the index holds the bytes, and the start-up cleanup keeps
    // the files of every blob it names.
    std::string temp = store_.TempPath();
    FILE* fp = fopen(temp.c_str(), "wb");
    bool ok = fp != nullptr && (data.empty() || fwrite(data.data(), 1, data.size(), fp) == data.size());
    if (fp != nullptr && fclose(fp) != 0) ok = false;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
    unlink(temp.c_str());
    TW_ERROR(kComponent, "cannot make %s\n", path.c_str());
    return false;
}

void View::UnlinkBlobs(const std::vector<uint64_t>& file_ids) {
    for (uint64_t id : file_ids) store_.RemoveBlob(id);
}

Status View::Remove(const std::string& path, uint64_t base_sync_id, uint64_t base_max_id) {
    std::vector<uint64_t> unlink_after;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        Entry current;
        int rc = index_.Get(path, current);
        if (rc < 0) return IndexFailure(index_);
        if (rc == 0 || current.is_removed) return Status::Error(SPROTO_ERR_REMOVE_NOFILE, "nothing at the path");
        if (base_sync_id != current.sync_id) {
            return Status::Error(SPROTO_ERR_REMOVE_MODIFIED, "base " + std::to_string(base_sync_id) + ", current " +
                                                                 std::to_string(current.sync_id));
        }
        if (current.is_dir) {
            rc = index_.HasLiveBelowAbove(path, base_max_id);
            if (rc < 0) return IndexFailure(index_);
            if (rc == 1) {
                return Status::Error(SPROTO_ERR_REMOVE_MODIFIED,
                                     "the folder holds items newer than " + std::to_string(base_max_id));
            }
        }

        Transaction txn(index_);
        if (!txn.open()) return IndexFailure(index_);
        std::vector<Entry> victims;
        if (current.is_dir && index_.LiveBelow(path, victims) != 0) return IndexFailure(index_);
        std::reverse(victims.begin(), victims.end());  // deepest first: a path sorts after its folder
        victims.push_back(current);

        std::vector<uint64_t> candidates;
        uint64_t last = 0;
        for (const Entry& victim : victims) {
            Entry tombstone;
            tombstone.path = victim.path;
            tombstone.is_dir = victim.is_dir;
            tombstone.is_removed = true;
            tombstone.mtime = victim.mtime;
            if (index_.NextSyncId(tombstone.sync_id) != 0) return IndexFailure(index_);
            tombstone.max_id = tombstone.sync_id;
            last = tombstone.sync_id;
            if (index_.Put(tombstone) != 0) return IndexFailure(index_);
            if (!victim.is_dir) {
                candidates.push_back(victim.file_id);
                if (index_.DropVersions(victim.path, candidates) != 0) return IndexFailure(index_);
            }
        }
        for (const std::string& ancestor : AncestorsOf(path)) {
            if (index_.RaiseMaxId(ancestor, last) != 0) return IndexFailure(index_);
        }
        if (CollectLocked(candidates, unlink_after) != 0) return IndexFailure(index_);
        if (txn.Commit() != 0) return IndexFailure(index_);
        for (uint64_t id : unlink_after) {
            if (pins_.count(id)) doomed_.insert(id);
        }
        unlink_after.erase(std::remove_if(unlink_after.begin(), unlink_after.end(),
                                          [this](uint64_t id) { return pins_.count(id) != 0; }),
                           unlink_after.end());
    }
    UnlinkBlobs(unlink_after);
    return Status::Ok();
}

Status View::Pull(const std::string& folder, bool recursive, uint64_t from, const PullCondition& condition,
                  uint32_t page_size, std::vector<Entry>& out, uint64_t& next) {
    std::lock_guard<std::mutex> guard(mutex_);
    out.clear();
    next = from;
    if (folder != "/") {
        Entry at;
        int rc = index_.Get(folder, at);
        if (rc < 0) return IndexFailure(index_);
        if (rc == 0 || at.is_removed || !at.is_dir) {
            return Status::Error(SPROTO_ERR_VIEW_INVALID_PATH, "no folder " + folder + " in the view");
        }
    }
    // From 0 the client has nothing: the live tree is all it needs.
    int rc = index_.ScanChanges(folder, recursive, from, from == 0, [&](const Entry& e) {
        std::string relative = RelativeTo(e.path, folder);
        if (!condition.Matches(e, relative)) return true;
        out.push_back(e);
        out.back().path = relative;
        next = e.sync_id;
        return out.size() < page_size;
    });
    if (rc != 0) return IndexFailure(index_);
    return Status::Ok();
}

Status View::PlanDownload(const std::string& path, uint64_t base_sync_id, DownloadPlan& plan) {
    std::lock_guard<std::mutex> guard(mutex_);
    plan = DownloadPlan{};
    int rc = index_.Get(path, plan.entry);
    if (rc < 0) return IndexFailure(index_);
    if (rc == 0 || plan.entry.is_removed) return Status::Error(SPROTO_ERR_DOWNLOAD_NOFILE, "nothing at the path");
    if (plan.entry.is_dir) return Status::Ok();
    if (base_sync_id != 0 && base_sync_id == plan.entry.sync_id) {
        plan.refer = true;
    } else if (base_sync_id != 0) {
        Version base;
        rc = index_.GetVersion(path, base_sync_id, base);
        if (rc < 0) return IndexFailure(index_);
        if (rc == 1 && base.hash == plan.entry.hash && base.size == plan.entry.size) {
            plan.refer = true;
        } else if (rc == 1 && base.size > 0) {
            plan.base_file_id = base.file_id;
        }
    }
    if (!plan.refer) {
        if (!MaterializeLocked(plan.entry.file_id)) return Status::Failure("cannot make the file of a blob");
        if (plan.base_file_id != 0 && !MaterializeLocked(plan.base_file_id)) plan.base_file_id = 0;
        ++pins_[plan.entry.file_id];
        if (plan.base_file_id != 0) ++pins_[plan.base_file_id];
    }
    return Status::Ok();
}

bool View::Pin(uint64_t file_id, const std::string* expected) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string hash;
    uint64_t size = 0;
    if (index_.GetContent(file_id, hash, size) != 1) return false;
    if (expected != nullptr && *expected != hash) return false;
    if (!MaterializeLocked(file_id)) return false;
    ++pins_[file_id];
    return true;
}

void View::Unpin(uint64_t file_id) {
    bool unlink_now = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = pins_.find(file_id);
        if (it == pins_.end()) return;
        if (--it->second > 0) return;
        pins_.erase(it);
        unlink_now = doomed_.erase(file_id) != 0;
    }
    if (unlink_now) store_.RemoveBlob(file_id);
}

Status View::IssueToken(std::string& token) {
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1) return Status::Failure("no random bytes for a token");
    static const char kHex[] = "0123456789abcdef";
    token = std::to_string(id_) + "-";
    for (unsigned char b : random) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    int64_t now = Now();
    bool prune = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        prune = now - last_prune_ >= kPruneEverySeconds;
    }
    if (prune) PruneTokens(kTokenMaxAge);

    std::lock_guard<std::mutex> guard(mutex_);
    uint64_t count = 0;
    if (index_.TokenCount(count) != 0) return IndexFailure(index_);
    if (count >= kMaxTokens) return Status::Error(SPROTO_ERR_RESUME, "too many resume tokens in use");
    TokenRecord record;
    record.token = token;
    record.created = record.used = now;
    if (index_.PutToken(record) != 0) return IndexFailure(index_);
    return Status::Ok();
}

Status View::GetToken(const std::string& token, TokenRecord& record, bool& found) {
    std::lock_guard<std::mutex> guard(mutex_);
    int rc = index_.GetToken(token, record);
    if (rc < 0) return IndexFailure(index_);
    found = rc == 1;
    if (found) {
        record.used = Now();
        if (index_.PutToken(record) != 0) return IndexFailure(index_);
    }
    return Status::Ok();
}

Status View::PutToken(const TokenRecord& record) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (index_.PutToken(record) != 0) return IndexFailure(index_);
    return Status::Ok();
}

bool View::TryBusy(const std::string& token, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!token_released_.wait_for(lock, wait, [&] { return busy_tokens_.count(token) == 0; })) return false;
    busy_tokens_.insert(token);
    return true;
}

void View::Unbusy(const std::string& token) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        busy_tokens_.erase(token);
    }
    token_released_.notify_all();
}

bool View::WaitIdle(const std::string& token, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return token_released_.wait_for(lock, wait, [&] { return busy_tokens_.count(token) == 0; });
}

void View::PruneTokens(int64_t max_age) {
    std::lock_guard<std::mutex> guard(mutex_);
    int64_t now = Now();
    last_prune_ = now;
    std::vector<TokenRecord> old;
    if (index_.TokensUsedBefore(now - max_age, old) != 0) return;
    for (const TokenRecord& record : old) {
        if (busy_tokens_.count(record.token)) continue;
        unlink(store_.UploadPath(record.token).c_str());
        unlink(store_.PayloadPath(record.token).c_str());
        index_.DeleteToken(record.token);
    }
    if (!old.empty())
        TW_INFO(kComponent, "view %llu: %zu old resume tokens removed\n", static_cast<unsigned long long>(id_),
                old.size());
}

Status View::IntegrityCheck(std::string& result) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (index_.IntegrityCheck(result) != 0) return IndexFailure(index_);
    return Status::Ok();
}

}  // namespace tw_server
