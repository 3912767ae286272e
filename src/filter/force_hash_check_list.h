// The forced-hash list: the file extensions whose files are always compared
// by content hash.
#pragma once

#include <cstdint>

#include "filter/schema.h"
#include "filter/value_type.h"

struct ForceHashCheckListVersionSection {
    int32_t major;
    int32_t minor;
};

struct ForceHashCheckListFileSection {
    value_type_string_set force_hash_ext;  // the entry "*" means every file
};

struct ForceHashCheckList {
    ForceHashCheckListVersionSection version;
    ForceHashCheckListFileSection file;
};

extern const schema_parser force_hash_check_list_schema;

// As for the black list (filter.h): an empty record, reading a file into it
// (0, or -1 with the record destroyed), freeing it.
int force_hash_check_list_init(ForceHashCheckList* list);
int force_hash_check_list_read(ForceHashCheckList* list, const char* fname);
void force_hash_check_list_destroy(ForceHashCheckList* list);

// 1 when the extension of `filename` (the text after its last "." at
// position 1 or later) is listed, ignoring ASCII case, or an entry is "*";
// 0 otherwise; -1 for a null or empty name.
int force_hash_extension_test(const ForceHashCheckList* list, const char* filename);
