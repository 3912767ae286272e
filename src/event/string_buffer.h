// An arena of interned, NUL-terminated byte strings. Every distinct string is
// stored once; callers keep `String` handles that point into the arena and
// stay valid for the arena's lifetime.
#pragma once

#include <cstddef>
#include <cstring>
#include <set>

class StringBuffer {
public:
    // A handle to an interned string, compared byte-wise (strcmp order).
    struct String {
        const char* str = nullptr;

        String() = default;
        explicit String(const char* s) : str(s) {}
        const char* c_str() const { return str; }
        bool operator<(const String& o) const { return std::strcmp(str, o.str) < 0; }
        bool operator>(const String& o) const { return std::strcmp(str, o.str) > 0; }
        bool operator==(const String& o) const { return std::strcmp(str, o.str) == 0; }
    };

    struct Chunk {
        size_t capacity = 0;
        size_t offset = 0;  // bytes used
        char* data = nullptr;
    };

    static constexpr int kMaxChunks = 32;
    static constexpr size_t kFirstChunkSize = 512;

    StringBuffer();
    ~StringBuffer();
    StringBuffer(const StringBuffer&) = delete;
    StringBuffer& operator=(const StringBuffer&) = delete;

    // Points `out` at the stored copy of `s`, storing it first when it is new.
    // 0, or -1 when `s` is null or every chunk is in use and none has room.
    int insert(const char* s, String& out);

    // Number of distinct strings stored.
    size_t count() const { return dic.size(); }
    // Chunks in use (1 for a new buffer).
    int chunks_used() const { return used; }
    const Chunk& chunk_at(int i) const { return chunk[i]; }

private:
    std::set<String> dic;
    Chunk chunk[kMaxChunks];
    int used = 0;
};
