// The process-wide table of sync sessions, keyed by session id. Readers get
// copies; the filter lists and the file event database inside an entry are
// shared through reference-counted handles, so a copy stays usable after its
// session was removed or replaced.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "base/ustring.h"
#include "session/shared_pointer.h"

class BlackList2;
class WhiteListCpp;
class ForceHashCheckListCpp;
class FileEventDB;

enum PermissionMode {
    PERM_SYNC_EXEC_BIT_ONLY = 0,
    PERM_SYNC_DOMAIN_ONLY = 1,
    PERM_SYNC_ALL = 2,
};

class Registry {
public:
    struct Entry {
        uint64_t conn_id = 0;
        uint64_t sess_id = 0;
        uint64_t view_id = 0;
        uint64_t node_id = 0;
        uint32_t recycle_time = 0;
        bool recursive = false;
        ustring local_path;
        ustring remote_path;
        ustring config_path;
        bool isMSDOS = false;
        bool pause = false;
        bool read_only = false;
        PermissionMode perm_mode = PERM_SYNC_ALL;
        shared_pointer<BlackList2> black_list;
        shared_pointer<WhiteListCpp> white_list;
        shared_pointer<FileEventDB> event_db;
        shared_pointer<ForceHashCheckListCpp> force_hash_check_list;

        // Back to the fresh state; the handles drop their references.
        void clear();
    };

    static Registry& getInstance();

    // 1 and a copy in `out` when the session exists; 0 otherwise.
    int Find(uint64_t sess_id, Entry& out);
    // 0 when empty. Otherwise 1 and the entry after `sess_id` in id order
    // (wrapping after the last), or the first entry when `sess_id` is absent.
    int FindNext(uint64_t sess_id, Entry& out);
    // Every entry in id order.
    void GetAll(std::vector<Entry>& out);
    // Inserts `e` under `e.sess_id`, or replaces that entry.
    void Set(const Entry& e);
    // Replaces the entry of `e.sess_id` but keeps its live recycle_time
    // (workers and the recycle cleaner move it while a control action works
    // on a copy); inserts `e` when the session is absent. Control actions
    // that store a changed copy of a registered entry use this.
    void Update(const Entry& e);
    void Remove(uint64_t sess_id);
    void Clear(uint64_t sess_id);
    void Clear();
    size_t Size();
    // Keeps the earliest time: sets `t` when the stored time is 0 or later.
    void InitRecycleTime(const Entry& e, uint32_t t);
    void UpdateRecycleTime(const Entry& e, uint32_t t);

    void lock() { mutex.lock(); }
    void unlock() { mutex.unlock(); }

    Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

private:
    std::map<uint64_t, Entry> index;
    std::mutex mutex;
};
