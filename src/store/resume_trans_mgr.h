// The process-wide cache of interrupted transfers, so that a retried download
// or upload can continue where it stopped. A job is keyed by a token made of
// the session, the full local path and the direction. The cache is bounded;
// a job that is evicted or cleared removes its temporary files, and a job
// that is not kept is handed back to the caller (Push gives -1) with its
// files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <mutex>

#include "base/ustring.h"
#include "value/pobject.h"

class ResumeTransMgr {
public:
    struct CachedJob {
        ustring token;
        // Only "file" data paths below this folder are removed with the job.
        ustring working_dir;
        ustring upload_sign_file;
        time_t create_time = 0;
        PObject cached_req;
        PObject cached_resp;

        // Removes the temporary files `p` refers to, then clears `p`: the
        // "file" member's data path when it lies below `working_dir`, and the
        // "mac_attribute" member's data path.
        void ClearPObject(PObject& p);
        // Removes the upload signature file and forgets its name.
        void ClearUploadSignFile();
        // Removes every file of the job and empties it.
        void Clear();
    };

    static constexpr size_t kDefaultMaxSize = 1024;
    // A full cache evicts its oldest job only when it is older than this.
    static constexpr time_t kMinAgeToEvict = 120;

    explicit ResumeTransMgr(size_t max_size = kDefaultMaxSize);
    // Clears the cache, removing the files of every job still held.
    ~ResumeTransMgr();
    ResumeTransMgr(const ResumeTransMgr&) = delete;
    ResumeTransMgr& operator=(const ResumeTransMgr&) = delete;

    static ResumeTransMgr& GetInstance();

    // "<sess_id>|<full_path>|<type>"; `type` is "Download" or "Upload".
    static ustring GenToken(uint64_t sess_id, const ustring& full_path, const ustring& type);
    // Fills `job` with the arguments and the current time.
    static void InitialCachedJob(const ustring& token, const ustring& upload_sign_file, const ustring& working_dir,
                                 const PObject& cached_req, const PObject& cached_resp, CachedJob& job);

    // Keeps a copy of the job: 0. -1 when it is not kept (its token is
    // already cached, or the cache is full and its oldest job too young to
    // evict); the job and its files then stay with the caller.
    int Push(const CachedJob& job);
    // 0 and the job, which leaves the cache with its files (now the caller's);
    // -1 when no job has the token (`job` untouched).
    int Take(const ustring& token, CachedJob& job);
    // Removes every job and its files.
    void Clear();
    size_t Size();

private:
    size_t max_size;
    std::list<CachedJob> queue;  // oldest first
    std::map<ustring, std::list<CachedJob>::iterator> cache_map;
    std::mutex m_lock;
};
