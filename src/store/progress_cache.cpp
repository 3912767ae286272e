#include "store/progress_cache.h"

#include <cinttypes>

#include "base/logger.h"

namespace {
constexpr const char* kLog = "progress_cache_debug";
}

ProgressCache::ProgressCache() {
    TW_DEBUG(kLog, "ProgressCache constructed.\n");
}

ProgressCache::~ProgressCache() {
    TW_DEBUG(kLog, "ProgressCache deconstructed.\n");
}

ProgressCache& ProgressCache::getInstance() {
    static ProgressCache instance;
    return instance;
}

void ProgressCache::addProgressEntry(uint64_t row_id, const ResumeCondition& condition) {
    std::lock_guard<std::mutex> guard(m_mutex);
    Entry entry;
    entry.row_id = row_id;
    entry.condition = condition;
    cache_list.push_back(entry);
    TW_DEBUG(kLog,
             "addProgressEntry row_id = '%" PRIu64 "', sess_id = '%" PRIu64 "', sync_id = '%" PRIu64
             "', type = '%d', desc= '%s'.\n",
             row_id, condition.sess_id, condition.sync_id, condition.filter_type, condition.filter_desc.c_str());
}

void ProgressCache::updateProgressSyncId(uint64_t row_id, uint64_t sync_id) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (Entry& entry : cache_list) {
        if (entry.row_id != row_id) continue;
        entry.condition.sync_id = sync_id;
        TW_DEBUG(kLog, "updateProgressSyncId to %" PRIu64 " for row_id = %" PRIu64 ".\n", sync_id, row_id);
        return;
    }
}

int ProgressCache::getProgressEntry(Entry& entry) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (cache_list.empty()) {
        TW_DEBUG(kLog, "cache_list is empty. \n");
        return 0;
    }
    entry = cache_list.front();
    return 1;
}

void ProgressCache::getProgressEntries(std::vector<Entry>& entries) {
    std::lock_guard<std::mutex> guard(m_mutex);
    entries.assign(cache_list.begin(), cache_list.end());
}

int ProgressCache::rmProgressEntry(uint64_t row_id) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (auto it = cache_list.begin(); it != cache_list.end(); ++it) {
        if (it->row_id == row_id) {
            cache_list.erase(it);
            return 0;
        }
    }
    return -1;
}

int ProgressCache::rmProgressEntryBySessionId(uint64_t sess_id) {
    std::lock_guard<std::mutex> guard(m_mutex);
    size_t before = cache_list.size();
    cache_list.remove_if([sess_id](const Entry& entry) { return entry.condition.sess_id == sess_id; });
    return cache_list.size() < before ? 0 : -1;
}

bool ProgressCache::isInProgrssCache(uint64_t sess_id) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const Entry& entry : cache_list) {
        if (entry.condition.sess_id == sess_id) return true;
    }
    return false;
}

void ProgressCache::clear() {
    std::lock_guard<std::mutex> guard(m_mutex);
    cache_list.clear();
}

size_t ProgressCache::size() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return cache_list.size();
}
