#include "store/resume_trans_mgr.h"

#include <cinttypes>
#include <string>

#include "base/logger.h"
#include "fs/file_op.h"

namespace {

constexpr const char* kLog = "resume_mgr";

// Whether `path` names something strictly inside the folder `dir`: it
// continues `dir` with "/" and has no ".." component that could lead out.
bool lies_below(const ustring& path, const ustring& dir) {
    std::string_view p = path.view();
    std::string_view d = dir.view();
    while (!d.empty() && d.back() == '/') d.remove_suffix(1);
    if (d.empty() || p.size() <= d.size() + 1 || p.compare(0, d.size(), d) != 0 || p[d.size()] != '/') return false;
    std::string_view rest = p.substr(d.size());
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t next = rest.find('/', pos + 1);
        std::string_view comp = rest.substr(pos + 1, (next == std::string_view::npos ? rest.size() : next) - pos - 1);
        if (comp.compare("..") == 0) return false;
        if (next == std::string_view::npos) break;
        pos = next;
    }
    return true;
}

}  // namespace

void ResumeTransMgr::CachedJob::ClearPObject(PObject& p) {
    const PObject::binary_type& file = p["file"]["data"].asBinary();
    if (!file.empty() && lies_below(file.path, working_dir)) FSRemove(file.path, false);
    const PObject::binary_type& mac = p["mac_attribute"]["data"].asBinary();
    if (!mac.empty()) FSRemove(mac.path, false);
    p.clear();
}

void ResumeTransMgr::CachedJob::ClearUploadSignFile() {
    if (!upload_sign_file.empty()) FSRemove(upload_sign_file, false);
    upload_sign_file.clear();
}

void ResumeTransMgr::CachedJob::Clear() {
    ClearPObject(cached_req);
    ClearPObject(cached_resp);
    ClearUploadSignFile();
    create_time = 0;
    token.clear();
    working_dir.clear();
}

ResumeTransMgr::ResumeTransMgr(size_t max_size_arg) : max_size(max_size_arg) {}

ResumeTransMgr::~ResumeTransMgr() {
    Clear();
}

ResumeTransMgr& ResumeTransMgr::GetInstance() {
    static ResumeTransMgr instance;
    return instance;
}

ustring ResumeTransMgr::GenToken(uint64_t sess_id, const ustring& full_path, const ustring& type) {
    return ustring(std::to_string(sess_id)) + "|" + full_path + "|" + type;
}

void ResumeTransMgr::InitialCachedJob(const ustring& token, const ustring& upload_sign_file, const ustring& working_dir,
                                      const PObject& cached_req, const PObject& cached_resp, CachedJob& job) {
    job.token = token;
    job.upload_sign_file = upload_sign_file;
    job.working_dir = working_dir;
    job.cached_req = cached_req;
    job.cached_resp = cached_resp;
    job.create_time = std::time(nullptr);
}

int ResumeTransMgr::Push(const CachedJob& job) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (cache_map.count(job.token) != 0) {
        TW_CRIT(kLog, "collision of token %s\n", job.token.c_str());
        return -1;
    }
    if (queue.size() >= max_size) {
        if (queue.empty()) return -1;  // a cache of size 0 keeps nothing
        CachedJob& oldest = queue.front();
        time_t age = std::time(nullptr) - oldest.create_time;
        if (age <= kMinAgeToEvict) {
            TW_WARNING(kLog, "cache is full; job %s is not kept\n", job.token.c_str());
            return -1;
        }
        cache_map.erase(oldest.token);
        oldest.Clear();
        queue.pop_front();
    }
    queue.push_back(job);
    cache_map[job.token] = std::prev(queue.end());
    return 0;
}

int ResumeTransMgr::Take(const ustring& token, CachedJob& job) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = cache_map.find(token);
    if (it == cache_map.end()) return -1;
    job = *it->second;
    queue.erase(it->second);
    cache_map.erase(it);
    return 0;
}

void ResumeTransMgr::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (CachedJob& job : queue) job.Clear();
    cache_map.clear();
    queue.clear();
}

size_t ResumeTransMgr::Size() {
    std::lock_guard<std::mutex> guard(m_lock);
    return queue.size();
}
