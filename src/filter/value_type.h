// The value types of filter files: owned byte strings and insertion-ordered
// sets of them. Plain records handled by free functions; every function that
// allocates returns 0, or -1 when memory runs out (the value is then left as
// it was).
#pragma once

#include <cstddef>

enum value_type {
    integer32_type = 0,
    integer64_type = 1,
    string_type = 2,
    string_set_type = 3,
};

// One owned, NUL-terminated byte string; null when unset.
struct value_type_string {
    char* str;
};

// An owned array of owned strings, in insertion order, duplicates allowed.
struct value_type_string_set {
    char** set;
    size_t used;
    size_t capacity;
};

void vt_string_init(value_type_string* s);
int vt_string_assign(value_type_string* s, const char* x);
int vt_string_copy(value_type_string* to, const value_type_string* from);
void vt_string_destroy(value_type_string* s);

// Room for `capacity` entries (4 when 0).
int vt_string_set_init(value_type_string_set* ss, size_t capacity);
// Appends a copy of `x`, doubling the room when full.
int vt_string_set_insert(value_type_string_set* ss, const char* x);
// Removes the first entry equal to `x` (exact comparison) by moving the last
// entry into its place; 0 also when `x` is absent.
int vt_string_set_remove(value_type_string_set* ss, const char* x);
int vt_string_set_copy(value_type_string_set* to, const value_type_string_set* from);
void vt_string_set_destroy(value_type_string_set* ss);
