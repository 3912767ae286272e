#include "filter/schema.h"

#include <cstring>

const schema_section* search_section_schema(const char* name, const schema_parser* schema) {
    if (!name || !schema) return nullptr;
    for (int i = 0; i < schema->section_count && i < kSchemaMaxSections; ++i) {
        if (std::strcmp(schema->sections[i].name, name) == 0) return &schema->sections[i];
    }
    return nullptr;
}

const schema_key* search_key_schema(const char* name, const schema_section* section) {
    if (!name || !section) return nullptr;
    for (int i = 0; i < section->key_count && i < kSchemaMaxKeys; ++i) {
        if (std::strcmp(section->keys[i].name, name) == 0) return &section->keys[i];
    }
    return nullptr;
}
