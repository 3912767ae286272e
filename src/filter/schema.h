// Schema tables that drive the filter file parser: which sections and keys a
// kind of file has, the type of each key, and where in the result record its
// value goes.
#pragma once

#include <cstddef>

#include "filter/value_type.h"

constexpr int kSchemaMaxKeys = 64;
constexpr int kSchemaMaxSections = 32;

struct schema_key {
    const char* name;
    ::value_type value_type;
    size_t offset;  // of the member inside its section's record
};

struct schema_section {
    const char* name;
    size_t offset;  // of the section's record inside the result record
    int key_count;  // at most kSchemaMaxKeys
    const schema_key* keys;
};

struct schema_parser {
    int major;
    int minor;
    int section_count;  // at most kSchemaMaxSections
    const schema_section* sections;
};

// Exact, case-sensitive lookups in table order; null when absent.
const schema_section* search_section_schema(const char* name, const schema_parser* schema);
const schema_key* search_key_schema(const char* name, const schema_section* section);
