#include "event/string_buffer.h"

#include <algorithm>
#include <new>

StringBuffer::StringBuffer() {
    chunk[0].data = new char[kFirstChunkSize];
    chunk[0].capacity = kFirstChunkSize;
    used = 1;
}

StringBuffer::~StringBuffer() {
    for (int i = 0; i < used; ++i) delete[] chunk[i].data;
}

int StringBuffer::insert(const char* s, String& out) {
    if (s == nullptr) return -1;
    auto found = dic.find(String(s));
    if (found != dic.end()) {
        out = *found;
        return 0;
    }

    const size_t need = std::strlen(s) + 1;
    Chunk* target = nullptr;
    for (int i = 0; i < used; ++i) {
        if (chunk[i].capacity - chunk[i].offset >= need) {
            target = &chunk[i];
            break;
        }
    }
    if (target == nullptr) {
        if (used >= kMaxChunks) return -1;
        const size_t capacity = 2 * std::max(chunk[used - 1].capacity, need);
        char* data = new (std::nothrow) char[capacity];
        if (data == nullptr) return -1;
        target = &chunk[used++];
        target->data = data;
        target->capacity = capacity;
        target->offset = 0;
    }

    char* copy = target->data + target->offset;
    std::memcpy(copy, s, need);
    target->offset += need;
    out = String(copy);
    dic.insert(out);
    return 0;
}
