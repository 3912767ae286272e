// Name, prefix and extension matching shared by the filter tests. Names are
// UTF-8 byte strings; comparisons ignore ASCII case only.
#pragma once

#include <optional>
#include <string_view>

#include "filter/value_type.h"

namespace filter_match {

bool caseless_equal(std::string_view a, std::string_view b);
bool caseless_starts_with(std::string_view s, std::string_view prefix);

// Whether `path` equals `entry` or lies below it ("/" right after it).
bool is_or_below(std::string_view path, std::string_view entry);

// Whether `name` holds any character of `chars` (UTF-8 characters, so a
// multi-byte character matches only itself, not names sharing one byte).
bool contains_any_char(std::string_view name, const char* chars);

// Entry tests over a set; empty entries never match.
bool set_has_name(const value_type_string_set& set, std::string_view name);
bool set_has_prefix_of(const value_type_string_set& set, std::string_view name);
bool set_has_parent_of(const value_type_string_set& set, std::string_view path);
bool set_has_entry(const value_type_string_set& set, std::string_view exact);

// The text after the last "." of `name`, when that "." is not its first
// character; nothing otherwise ("a.tar.gz": "gz", "a.": "", ".profile": none).
std::optional<std::string_view> file_extension(std::string_view name);

}  // namespace filter_match
