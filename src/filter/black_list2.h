// A thread-safe holder of one black list. Each session owns one; the
// process-wide instance holds the system filter that applies to every session.
#pragma once

#include <cstdint>
#include <mutex>

#include "base/ustring.h"
#include "filter/filter.h"

class BlackList2 {
public:
    BlackList2();
    ~BlackList2();
    BlackList2(const BlackList2&) = delete;
    BlackList2& operator=(const BlackList2&) = delete;

    // The system filter, created on first use.
    static BlackList2& getInstance();

    // Replaces the list by the contents of `file`: 0, or -1 when the file is
    // missing or invalid, in which case the list is left empty.
    int Load(const ustring& file);
    // Frees the list's contents; it excludes nothing afterwards.
    void Destroy();

    // 0 when the item may be synchronised, else the negative reason code of
    // filter.h. Paths are event paths ("/"-separated, leading "/").
    int TestFilePath(const ustring& path);
    int TestDirectoryPath(const ustring& path);
    int TestFileSize(uint64_t size);
    int TestFullPathSize(uint64_t size);

private:
    Filter filter;
    std::mutex mutex;
};
