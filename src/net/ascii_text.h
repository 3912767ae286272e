// Small helpers for the ASCII protocol texts of the proxy and relay
// exchanges (header names, schemes, numbers), independent of the locale.
#pragma once

#include <string_view>

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool AsciiIsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

inline bool AsciiStartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
    }
    return true;
}

inline bool AsciiEqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && AsciiStartsWithNoCase(a, b);
}

// A decimal number at `text[at]` after optional blanks: an optional sign and
// 1 to 9 digits. False (and `value` untouched) when there is none or it is
// longer; `at` then points past the digits.
inline bool AsciiParseInt(std::string_view text, size_t& at, int* value) {
    size_t i = at;
    while (i < text.size() && AsciiIsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long n = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (++digits > 9) return false;
        n = n * 10 + (text[i++] - '0');
    }
    if (digits == 0) return false;
    *value = static_cast<int>(negative ? -n : n);
    at = i;
    return true;
}
