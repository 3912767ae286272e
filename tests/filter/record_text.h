// Readable one-line forms of parsed filter records, so that tables of cases
// can state the whole expected record.
#pragma once

#include <string>

#include "filter/filter.h"
#include "filter/force_hash_check_list.h"
#include "filter/white_list.h"

namespace filter_testing {

inline std::string set_text(const char* key, const value_type_string_set& ss) {
    if (ss.used == 0) return "";
    std::string out = std::string(" ") + key + "=[";
    for (size_t i = 0; i < ss.used; ++i) {
        if (i) out += "|";
        out += ss.set[i];
    }
    return out + "]";
}

inline std::string string_text(const char* key, const value_type_string& s) {
    return s.str ? std::string(" ") + key + "='" + s.str + "'" : "";
}

inline std::string number_text(const char* key, long long v) {
    return v ? std::string(" ") + key + "=" + std::to_string(v) : "";
}

// "v1.0" and every value that is set, in schema order.
inline std::string record_text(const Filter& f) {
    return "v" + std::to_string(f.version.major) + "." + std::to_string(f.version.minor) +
           string_text("common.black_char", f.common.black_char) +
           set_text("common.black_prefix", f.common.black_prefix) +
           set_text("common.black_dir_prefix", f.common.black_dir_prefix) +
           set_text("common.black_name", f.common.black_name) +
           set_text("common.black_path_prefix_selective_sync", f.common.black_path_prefix_selective_sync) +
           number_text("common.max_length", f.common.max_length) + number_text("common.max_path", f.common.max_path) +
           string_text("file.black_char", f.file.black_char) + set_text("file.black_ext", f.file.black_ext) +
           set_text("file.black_name", f.file.black_name) + set_text("file.black_prefix", f.file.black_prefix) +
           set_text("file.black_ext_selective_sync", f.file.black_ext_selective_sync) +
           set_text("file.black_name_selective_sync", f.file.black_name_selective_sync) +
           number_text("file.max_size", f.file.max_size) +
           number_text("file.max_size_selective_sync", f.file.max_size_selective_sync) +
           string_text("directory.black_char", f.directory.black_char) +
           set_text("directory.black_name", f.directory.black_name) +
           set_text("directory.black_prefix", f.directory.black_prefix) +
           set_text("ea.black_ea_name", f.ea.black_ea_name);
}

inline std::string record_text(const WhiteList& w) {
    return "v" + std::to_string(w.version.major) + "." + std::to_string(w.version.minor) +
           set_text("white_ext", w.file.white_ext);
}

inline std::string record_text(const ForceHashCheckList& l) {
    return "v" + std::to_string(l.version.major) + "." + std::to_string(l.version.minor) +
           set_text("force_hash_ext", l.file.force_hash_ext);
}

}  // namespace filter_testing
