// The black list: its record, read from and written to a filter file, and the
// tests of paths, names, sizes and extended attributes against it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "filter/schema.h"
#include "filter/value_type.h"

// Results of the tests: 0 passes, a negative code names the rule that
// excluded the item. -12 to -15 are the selective-sync exclusions.
enum filter_result {
    FILTER_PASS = 0,
    FILTER_MALFORMED = -1,
    FILTER_BLACK_CHAR = -2,
    FILTER_BLACK_PREFIX = -3,
    FILTER_BLACK_NAME = -4,
    FILTER_BLACK_EXT = -5,
    FILTER_MAX_LENGTH = -6,
    FILTER_MAX_SIZE = -8,
    FILTER_MAX_PATH = -9,
    FILTER_BLACK_EA_NAME = -10,
    FILTER_BLACK_DIR_PREFIX = -11,
    FILTER_SELECTIVE_EXT = -12,
    FILTER_SELECTIVE_PATH_PREFIX = -13,
    FILTER_SELECTIVE_NAME = -14,
    FILTER_SELECTIVE_SIZE = -15,
};

struct VersionSection {
    int32_t major;
    int32_t minor;
};

struct CommonSection {
    value_type_string black_char;
    value_type_string_set black_prefix;
    value_type_string_set black_dir_prefix;
    value_type_string_set black_name;
    value_type_string_set black_path_prefix_selective_sync;
    int64_t max_length;
    int64_t max_path;
};

struct FileSection {
    value_type_string black_char;
    value_type_string_set black_ext;
    value_type_string_set black_name;
    value_type_string_set black_prefix;
    value_type_string_set black_ext_selective_sync;
    value_type_string_set black_name_selective_sync;
    int64_t max_size;
    int64_t max_size_selective_sync;
};

struct DirectorySection {
    value_type_string black_char;
    value_type_string_set black_name;
    value_type_string_set black_prefix;
};

struct EASection {
    value_type_string_set black_ea_name;
};

struct Filter {
    VersionSection version;
    CommonSection common;
    FileSection file;
    DirectorySection directory;
    EASection ea;
};

extern const schema_parser tw_filter_schema;

// An empty record: version 0.0, no strings, empty sets, no limits. 0, or -1
// when memory runs out (the record can still be destroyed).
int filter_init(Filter* filter);
// Parses `fname` into an initialised record. 0 when the file reads cleanly,
// or reads with unknown keys and is of a version 1.x with x above 0; else the
// record is destroyed and -1 returned.
int filter_read(Filter* filter, const char* fname);
// Frees everything and zeroes the version and the numbers.
void filter_destroy(Filter* filter);
// A deep copy into an initialised or destroyed `to`; -1 when memory runs out.
int filter_copy(Filter* to, const Filter* from);

// Writes the record in the file format; every value it writes reads back the
// same. 0, or -1 when a value cannot be written so that it reads back (a
// string over 512 bytes, or an escaped entry too long for one line).
int filter_print(const Filter* filter, FILE* fp);
// filter_print into the file `fname` (created or truncated); -1 when the file
// cannot be written.
int filter_write(const Filter* filter, const char* fname);

// `path` is a UTF-8 event path ("/"-separated, leading "/").
int filter_test_path(const Filter* filter, int is_dir, const char* path);
int filter_test_file_size(const Filter* filter, uint64_t size);
int filter_test_full_path_size(const Filter* filter, uint64_t size);
int filter_test_ea(const Filter* filter, const char* name);
