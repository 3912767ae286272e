// The white list: the file extensions that may be synchronised.
#pragma once

#include <cstdint>

#include "filter/schema.h"
#include "filter/value_type.h"

struct WhiteListVersionSection {
    int32_t major;
    int32_t minor;
};

struct WhiteListFileSection {
    value_type_string_set white_ext;  // the entry "*" allows every extension
};

struct WhiteList {
    WhiteListVersionSection version;
    WhiteListFileSection file;
};

extern const schema_parser white_list_schema;

// As for the black list (filter.h): an empty record, reading a file into it
// (0, or -1 with the record destroyed), freeing it.
int white_list_init(WhiteList* list);
int white_list_read(WhiteList* list, const char* fname);
void white_list_destroy(WhiteList* list);

// 0 when the extension of `filename` (the text after its last "." at
// position 1 or later) is listed, ignoring ASCII case, or an entry is "*";
// -1 otherwise, also for a null or empty name and for an empty list.
int white_list_test(const WhiteList* list, const char* filename);
