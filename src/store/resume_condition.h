// A loosened selective-sync filter item whose held-back server content is
// still to be fetched, from `sync_id` on, for one session.
#pragma once

#include <cstdint>
#include <list>
#include <utility>

#include "base/ustring.h"

struct ResumeCondition {
    uint64_t sess_id = 0;
    uint64_t sync_id = 0;
    int filter_type = 0;  // -12 extension, -13 path prefix, -14 name, -15 maximum size
    ustring filter_desc;

    void clear() {
        sess_id = 0;
        sync_id = 0;
        filter_type = 0;
        filter_desc.clear();
    }
};

// Resume conditions with the ids of their rows in the filter database.
using ResumeConditionList = std::list<std::pair<uint64_t, ResumeCondition>>;
