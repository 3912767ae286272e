#include "base/config.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kLineBuffer = 8192;

inline bool is_blank(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13);
}
inline bool is_key_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}
inline bool is_control_or_del(unsigned char c) {
    return c < 32 || c == 127;
}

}  // namespace

Config::LineResult Config::parse_line(const char* line, ustring& key, ustring& value) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
    while (is_blank(*p)) ++p;

    const unsigned char* key_begin = p;
    while (is_key_char(*p)) ++p;
    const unsigned char* key_end = p;

    if (*p == '#' || *p == 0) return EMPTY;

    while (is_blank(*p)) ++p;
    if (*p != '=') return INVALID;
    ++p;
    while (is_blank(*p)) ++p;
    if (*p == 0) return INVALID;

    const unsigned char* value_begin;
    const unsigned char* value_end;
    if (*p == '"' || *p == '\'') {
        unsigned char quote = *p++;
        value_begin = p;
        while (*p != quote && !is_control_or_del(*p)) ++p;
        if (*p != quote) return INVALID;
        value_end = p;
        ++p;
    } else {
        value_begin = p;
        while (*p != ' ' && !is_control_or_del(*p)) ++p;
        value_end = p;
    }

    while (is_blank(*p)) ++p;
    if (*p != 0 && *p != '#') return INVALID;

    key.assign(reinterpret_cast<const char*>(key_begin), static_cast<size_t>(key_end - key_begin));
    value.assign(reinterpret_cast<const char*>(value_begin), static_cast<size_t>(value_end - value_begin));
    return OK;
}

int Config::read(const ustring& path) {
    if (path.empty()) return -1;
    FILE* fp = std::fopen(path.c_str(), "re");
    if (!fp) return -1;

    char buf[kLineBuffer];
    ustring key;
    ustring value;
    while (std::fgets(buf, sizeof buf, fp)) {
        switch (parse_line(buf, key, value)) {
            case OK:
                store[key] = value;
                break;
            case EMPTY:
                break;
            case INVALID:
                store.clear();
                std::fclose(fp);
                return -1;
        }
    }
    bool failed = std::ferror(fp) != 0;  // for example a folder, which opens but cannot be read
    std::fclose(fp);
    if (failed) {
        store.clear();
        return -1;
    }
    return 0;
}

int Config::parse_int(const char* text) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (end == text) return 0;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

int Config::get_int(const ustring& key) {
    return parse_int(store[key].c_str());
}
