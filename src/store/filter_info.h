// The records of the filter database: one filter with the sync id at which it
// was recorded, a session's selective-sync filters by kind, and one local
// change held back by a filter.
#pragma once

#include <cstdint>
#include <set>

#include "base/ustring.h"

// Filter kinds, as stored in the filter_type columns.
enum {
    FILTER_TYPE_EXT = -12,
    FILTER_TYPE_PREFIX = -13,
    FILTER_TYPE_NAME = -14,
    FILTER_TYPE_SIZE = -15,
};

struct FilterInfo {
    uint64_t sync_id = 0;
    ustring filter_desc;

    // Sets of filters are unique by their text alone.
    bool operator<(const FilterInfo& other) const { return filter_desc < other.filter_desc; }
};

struct SelectiveSyncInfo {
    std::set<FilterInfo> black_prefix;
    std::set<FilterInfo> black_name;
    std::set<FilterInfo> black_ext;
    std::set<FilterInfo> white_ext;
    FilterInfo black_size;
};

struct FilterLocalEvent {
    ustring path;
    ustring file_checksum;
    ustring base_name;
    ustring win_hash;
    ustring mac_hash;
    ustring linux_hash;
    ustring corv_hash;
    uint64_t sess_id = 0;
    uint64_t sync_id = 0;
    uint64_t file_size = 0;
    uint32_t event_type = 0;  // not stored
    uint32_t file_mod_time = 0;
    uint64_t inode = 0;
    int file_type = 0;
    int filtered_type = 0;
    int is_exist = 0;

    bool operator<(const FilterLocalEvent& other) const { return path < other.path; }
};
