// A thread-safe holder of one session's white list of file extensions.
#pragma once

#include <mutex>

#include "base/ustring.h"
#include "filter/white_list.h"

class WhiteListCpp {
public:
    WhiteListCpp();
    ~WhiteListCpp();
    WhiteListCpp(const WhiteListCpp&) = delete;
    WhiteListCpp& operator=(const WhiteListCpp&) = delete;

    // Replaces the list by the contents of `file`: 0, or -1 (the list is then
    // empty and allows nothing).
    int Load(const ustring& file);
    void Clear();

    // `name` is a file name (the last component of an event path): 0 when its
    // extension is allowed, -1 otherwise (also for an empty name or list).
    int Test(const ustring& name) const;

private:
    WhiteList list;
    mutable std::mutex lock;
};
