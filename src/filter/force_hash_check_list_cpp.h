// A thread-safe holder of one session's forced-hash list.
#pragma once

#include <mutex>

#include "base/ustring.h"
#include "filter/force_hash_check_list.h"

class ForceHashCheckListCpp {
public:
    ForceHashCheckListCpp();
    ~ForceHashCheckListCpp();
    ForceHashCheckListCpp(const ForceHashCheckListCpp&) = delete;
    ForceHashCheckListCpp& operator=(const ForceHashCheckListCpp&) = delete;

    // Replaces the list by the contents of `file`: 0, or -1 (the list is then
    // empty and forces nothing).
    int Load(const ustring& file);
    void Clear();

    // `name` is a file name: 1 when files with its extension are always
    // compared by content hash, 0 otherwise, -1 for an empty name.
    int Test(const ustring& name) const;

private:
    ForceHashCheckList list;
    mutable std::mutex lock;
};
