// Splitting of "/"-separated paths into a directory part, walked component by
// component, and a base name, with the length limits every tree of this
// library shares.
#pragma once

#include <cstddef>
#include <string_view>

namespace path_split {

// Paths of this many bytes or more are refused.
inline constexpr size_t kMaxPathBytes = 4096;
// Longest accepted component (directory name or base name).
inline constexpr size_t kMaxNameBytes = 1023;

enum Result {
    OK = 0,
    TRAILING_SLASH = -1,  // empty path, or the last character is "/"
    TOO_LONG = -2,        // the path or one of its components exceeds the limits
};

// Splits `path` at its last "/": `dir_part` is the text before it (empty when
// there is none), `base` the text after it. Checks every component.
Result Split(std::string_view path, std::string_view& dir_part, std::string_view& base);

// Yields the next component of `dir_part` from `pos` on, skipping leading and
// repeated "/"; false when no component is left.
inline bool NextComponent(std::string_view dir_part, size_t& pos, std::string_view& comp) {
    while (pos < dir_part.size() && dir_part[pos] == '/') ++pos;
    if (pos >= dir_part.size()) return false;
    size_t end = dir_part.find('/', pos);
    if (end == std::string_view::npos) end = dir_part.size();
    comp = dir_part.substr(pos, end - pos);
    pos = end;
    return true;
}

}  // namespace path_split
