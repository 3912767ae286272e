#include "filter/name_match.h"

#include <cstring>

namespace filter_match {

namespace {

unsigned char lower(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

std::string_view entry_view(const char* entry) {
    return entry ? std::string_view(entry) : std::string_view();
}

}  // namespace

bool caseless_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool caseless_starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && caseless_equal(s.substr(0, prefix.size()), prefix);
}

bool is_or_below(std::string_view path, std::string_view entry) {
    if (entry.empty() || !caseless_starts_with(path, entry)) return false;
    return path.size() == entry.size() || path[entry.size()] == '/';
}

bool contains_any_char(std::string_view name, const char* chars) {
    if (!chars) return false;
    std::string_view all(chars);
    size_t i = 0;
    while (i < all.size()) {
        // One character: a lead byte and the continuation bytes after it.
        size_t n = 1;
        while (i + n < all.size() && (static_cast<unsigned char>(all[i + n]) & 0xC0) == 0x80) ++n;
        if (name.find(all.substr(i, n)) != std::string_view::npos) return true;
        i += n;
    }
    return false;
}

bool set_has_name(const value_type_string_set& set, std::string_view name) {
    for (size_t i = 0; i < set.used; ++i) {
        std::string_view e = entry_view(set.set[i]);
        if (!e.empty() && caseless_equal(name, e)) return true;
    }
    return false;
}

bool set_has_prefix_of(const value_type_string_set& set, std::string_view name) {
    for (size_t i = 0; i < set.used; ++i) {
        std::string_view e = entry_view(set.set[i]);
        if (!e.empty() && caseless_starts_with(name, e)) return true;
    }
    return false;
}

bool set_has_parent_of(const value_type_string_set& set, std::string_view path) {
    for (size_t i = 0; i < set.used; ++i) {
        if (is_or_below(path, entry_view(set.set[i]))) return true;
    }
    return false;
}

bool set_has_entry(const value_type_string_set& set, std::string_view exact) {
    for (size_t i = 0; i < set.used; ++i) {
        if (entry_view(set.set[i]) == exact) return true;
    }
    return false;
}

std::optional<std::string_view> file_extension(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    return name.substr(dot + 1);
}

}  // namespace filter_match
