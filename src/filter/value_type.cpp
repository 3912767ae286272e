#include "filter/value_type.h"

#include <cstdlib>
#include <cstring>

namespace {

char* copy_text(const char* x) {
    size_t n = std::strlen(x) + 1;
    char* p = static_cast<char*>(std::malloc(n));
    if (p) std::memcpy(p, x, n);
    return p;
}

}  // namespace

void vt_string_init(value_type_string* s) {
    s->str = nullptr;
}

int vt_string_assign(value_type_string* s, const char* x) {
    if (!x) return -1;
    char* p = copy_text(x);
    if (!p) return -1;
    std::free(s->str);
    s->str = p;
    return 0;
}

int vt_string_copy(value_type_string* to, const value_type_string* from) {
    if (to == from) return 0;
    vt_string_destroy(to);
    if (!from->str) return 0;
    return vt_string_assign(to, from->str);
}

void vt_string_destroy(value_type_string* s) {
    std::free(s->str);
    s->str = nullptr;
}

int vt_string_set_init(value_type_string_set* ss, size_t capacity) {
    if (capacity == 0) capacity = 4;
    ss->used = 0;
    ss->capacity = 0;
    ss->set = static_cast<char**>(std::calloc(capacity, sizeof(char*)));
    if (!ss->set) return -1;
    ss->capacity = capacity;
    return 0;
}

int vt_string_set_insert(value_type_string_set* ss, const char* x) {
    if (!x) return -1;
    if (ss->used == ss->capacity) {
        // A destroyed set has no room at all; start it again at 4.
        size_t grown = ss->capacity ? ss->capacity * 2 : 4;
        if (grown < ss->capacity || grown > static_cast<size_t>(-1) / sizeof(char*)) return -1;
        char** p = static_cast<char**>(std::realloc(ss->set, grown * sizeof(char*)));
        if (!p) return -1;
        ss->set = p;
        ss->capacity = grown;
    }
    char* copy = copy_text(x);
    if (!copy) return -1;
    ss->set[ss->used++] = copy;
    return 0;
}

int vt_string_set_remove(value_type_string_set* ss, const char* x) {
    if (!x) return 0;
    for (size_t i = 0; i < ss->used; ++i) {
        if (std::strcmp(ss->set[i], x) == 0) {
            std::free(ss->set[i]);
            ss->set[i] = ss->set[ss->used - 1];
            ss->set[--ss->used] = nullptr;
            return 0;
        }
    }
    return 0;
}

int vt_string_set_copy(value_type_string_set* to, const value_type_string_set* from) {
    if (to == from) return 0;
    vt_string_set_destroy(to);
    if (vt_string_set_init(to, from->capacity) != 0) return -1;
    for (size_t i = 0; i < from->used; ++i) {
        if (vt_string_set_insert(to, from->set[i]) != 0) return -1;
    }
    return 0;
}

void vt_string_set_destroy(value_type_string_set* ss) {
    for (size_t i = 0; i < ss->used; ++i) std::free(ss->set[i]);
    std::free(ss->set);
    ss->set = nullptr;
    ss->used = 0;
    ss->capacity = 0;
}
