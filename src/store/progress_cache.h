// The process-wide list of pending resume conditions: per session, content
// that a loosened selective-sync filter held back and that is still to be
// fetched from a sync id on. Each entry mirrors one row of the filter
// database's resume table. Entries stay in the order they were added.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "store/resume_condition.h"

class ProgressCache {
public:
    struct Entry {
        uint64_t row_id = 0;
        ResumeCondition condition;

        void clear() {
            row_id = 0;
            condition.clear();
        }
    };

    ProgressCache();
    ~ProgressCache();
    ProgressCache(const ProgressCache&) = delete;
    ProgressCache& operator=(const ProgressCache&) = delete;

    static ProgressCache& getInstance();

    // Appends an entry (entries are never merged).
    void addProgressEntry(uint64_t row_id, const ResumeCondition& condition);
    // Sets the sync id of the first entry with `row_id`; none: nothing.
    void updateProgressSyncId(uint64_t row_id, uint64_t sync_id);
    // 1 and a copy of the front entry (which stays), or 0 when empty.
    int getProgressEntry(Entry& entry);
    // Copies of every entry, in cache order.
    void getProgressEntries(std::vector<Entry>& entries);
    // Removes the first entry with `row_id`: 0, or -1 when there is none.
    int rmProgressEntry(uint64_t row_id);
    // Removes every entry of the session: 0, or -1 when there was none.
    int rmProgressEntryBySessionId(uint64_t sess_id);
    bool isInProgrssCache(uint64_t sess_id);
    void clear();
    size_t size();

private:
    std::list<Entry> cache_list;
    std::mutex m_mutex;
};
