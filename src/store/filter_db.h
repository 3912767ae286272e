// The process-wide filter database: the selective-sync filters last applied to
// each session, the resume conditions still to be carried out, and the local
// changes that a filter held back. One connection serves every thread; a mutex
// serialises each statement from start to end.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>

#include "base/ustring.h"
#include "store/filter_info.h"
#include "store/resume_condition.h"

class FilterDB {
public:
    FilterDB() = default;
    ~FilterDB();
    FilterDB(const FilterDB&) = delete;
    FilterDB& operator=(const FilterDB&) = delete;

    static FilterDB& getInstance();

    // Opens (creating if needed) the database at `path`: 0 or -1. A second
    // call while open keeps the first connection and returns 0.
    int initialize(const ustring& path);
    void destroy();
    bool isOpen();

    // Results: 0 success, -1 failure, unless said otherwise.

    // Filters in force. A row that already exists (same session, type and
    // text) is left as it is.
    int setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& filter_desc);
    int rmFilter(uint64_t sess_id, int filter_type, const ustring& filter_desc);
    int setWhiteListFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& filter_desc);
    int rmWhiteListFilter(uint64_t sess_id, int filter_type, const ustring& filter_desc);
    int setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size);
    int updateSizeFilter(uint64_t sess_id, uint64_t orig_size, uint64_t new_size);
    int rmSizeFilter(uint64_t sess_id, uint64_t size);
    // The session's size filter into `finfo`; no row leaves it unchanged.
    int getSizeFilter(uint64_t sess_id, FilterInfo& finfo);
    // Adds the session's excluding filters (and size filter) to `info`.
    int ConvertFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& info);
    // Adds the session's including extension filters to `info.white_ext`.
    int ConvertWhiteFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& info);

    // Resume conditions.
    int setResumeCondition(const ResumeCondition& r, uint64_t& row_id);
    // Appends the session's conditions with their row ids.
    int getResumeConditionsBySession(uint64_t sess_id, ResumeConditionList& list);
    // 1 and some condition, 0 when there is none, -1 on failure.
    int getResumeCondition(uint64_t& row_id, ResumeCondition& r);
    int updateResumeSyncId(uint64_t row_id, uint64_t sync_id);
    int rmResumeCondition(uint64_t row_id);

    // Filtered local events.
    int setLocalFilteredEvent(const FilterLocalEvent& e);
    // 1 and the event, 0 when there is none, -1 on failure.
    int getLocalFilteredEventByPath(uint64_t sess_id, const ustring& path, FilterLocalEvent& e);
    // Adds the session's events to `events`.
    int dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent>& events);
    // Removes the event of `path` and those of every path below it.
    int rmLocalFilteredEventByPath(uint64_t sess_id, const ustring& path);
    int cleanLocalFilteredEventBySession(uint64_t sess_id);

    // Configuration items.
    int setConfigItem(const ustring& key, const ustring& value);
    // `overflow` = the "event_overflow" item, or 1 when it is not set.
    int checkEventOverflow(int& overflow);

private:
    int execChange(const char* op, const char* mprintf_error, char* sql);
    int query(const char* op, char* sql, const std::function<void(sqlite3_stmt*)>& row);

    ustring m_filter_db_path;
    std::mutex m_db_mutex;
    sqlite3* m_db = nullptr;
};
