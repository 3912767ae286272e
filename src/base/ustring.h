// The string of every path, name, key and message.
//
// The UTF-8 form is authoritative: lengths, positions and ordering are in
// UTF-8 bytes, compared as unsigned bytes. A UTF-16 form is built on demand
// (c_str_utf16()) and cached until the text next changes.
//
// Thread safety: like a std::string, a ustring may be read by any number of
// threads at once, and changed by one thread when no other uses it. The
// const operations that need the UTF-16 form are safe to run at once:
//  - normalize() converts into a buffer of its own and never touches the
//    cache;
//  - c_str_utf16() publishes the cache once with an atomic exchange: a
//    reader that finds it builds a private copy, installs it if it is still
//    the first, and otherwise frees its copy and returns the one installed.
//    The cache is never changed or freed by a const operation, so the pointer
//    stays valid until the string next changes or is destroyed.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

class ustring {
public:
    enum normalization_form { NFC = 0, NFD = 1 };

    static constexpr size_t npos = static_cast<size_t>(-1);

    ustring();
    ustring(const char* s);
    ustring(const char* s, size_t n);
    ustring(const char16_t* s);
    ustring(const std::string& s);
    ustring(std::string_view s);
    explicit ustring(char c);
    ustring(const ustring& other);
    ustring(ustring&& other) noexcept;
    ~ustring();

    // Reading. On this platform c_str() is the UTF-8 form, the one system
    // calls and log arguments take; c_str_utf16() is the cached UTF-16 form
    // ("" for text that has none, such as invalid UTF-8).
    const char* c_str_utf8() const { return data; }
    const char* c_str() const { return data; }
    const char16_t* c_str_utf16() const;
    size_t length() const { return data_len; }
    size_t size() const { return data_len; }
    bool empty() const { return data_len == 0; }
    char operator[](size_t pos) const { return data[pos]; }
    ustring substr(size_t pos = 0, size_t n = npos) const;
    std::string_view view() const { return std::string_view(data, data_len); }
    std::string str() const { return std::string(data, data_len); }

    // Changing.
    ustring& assign(const char* s);
    ustring& assign(const char* s, size_t n);
    ustring& assign(const ustring& s);
    ustring& assign(const ustring& s, size_t pos, size_t n);
    ustring& assign(const std::string& s);
    ustring& assign(size_t n, char c);
    ustring& assign(const char16_t* s);
    ustring& assign(const char16_t* s, size_t n);

    ustring& operator=(const char* s) { return assign(s); }
    ustring& operator=(const ustring& s) { return assign(s); }
    ustring& operator=(ustring&& s) noexcept;
    ustring& operator=(const std::string& s) { return assign(s); }
    ustring& operator=(const char16_t* s) { return assign(s); }
    ustring& operator=(char c) { return assign(1, c); }

    ustring& append(const char* s);
    ustring& append(const char* s, size_t n);
    ustring& append(const ustring& s);
    ustring& append(const ustring& s, size_t pos, size_t n);
    ustring& append(const std::string& s);
    ustring& append(size_t n, char c);
    ustring& append(const char16_t* s);
    ustring& append(const char16_t* s, size_t n);

    ustring& operator+=(const char* s) { return append(s); }
    ustring& operator+=(const ustring& s) { return append(s); }
    ustring& operator+=(const std::string& s) { return append(s); }
    ustring& operator+=(const char16_t* s) { return append(s); }
    ustring& operator+=(char c) { return append(1, c); }

    void clear();
    void swap(ustring& other) noexcept;
    // Every byte `from` becomes `to`.
    ustring& replace(char from, char to);

    ustring& ltrim(const char* list);
    ustring& rtrim(const char* list);
    ustring& trim(const char* list);
    ustring& ltrim(const ustring& list) { return ltrim(list.data); }
    ustring& rtrim(const ustring& list) { return rtrim(list.data); }
    ustring& trim(const ustring& list) { return trim(list.data); }

    // Searching; every result is a byte position or npos.
    size_t find(const char* needle, size_t pos = 0) const;
    size_t find(const ustring& needle, size_t pos = 0) const { return find(needle.data, pos); }
    size_t find(const std::string& needle, size_t pos = 0) const { return find(needle.c_str(), pos); }
    size_t find(char c, size_t pos = 0) const;
    size_t rfind(const char* needle, size_t pos = npos) const;
    size_t rfind(const ustring& needle, size_t pos = npos) const { return rfind(needle.data, pos); }
    size_t rfind(const std::string& needle, size_t pos = npos) const { return rfind(needle.c_str(), pos); }
    size_t rfind(char c, size_t pos = npos) const;

    size_t find_first_of(const char* set, size_t pos = 0) const;
    size_t find_first_of(const ustring& set, size_t pos = 0) const { return find_first_of(set.data, pos); }
    size_t find_first_of(char c, size_t pos = 0) const;
    size_t find_first_not_of(const char* set, size_t pos = 0) const;
    size_t find_first_not_of(const ustring& set, size_t pos = 0) const { return find_first_not_of(set.data, pos); }
    size_t find_first_not_of(char c, size_t pos = 0) const;
    size_t find_last_of(const char* set, size_t pos = npos) const;
    size_t find_last_of(const ustring& set, size_t pos = npos) const { return find_last_of(set.data, pos); }
    size_t find_last_of(char c, size_t pos = npos) const;
    size_t find_last_not_of(const char* set, size_t pos = npos) const;
    size_t find_last_not_of(const ustring& set, size_t pos = npos) const { return find_last_not_of(set.data, pos); }
    size_t find_last_not_of(char c, size_t pos = npos) const;

    // Comparing: the difference of the first differing bytes (unsigned), or 0.
    static int compare(const ustring& a, const ustring& b, bool caseless);
    int compare(const ustring& other) const { return compare(*this, other, false); }
    int compare(const ustring& other, size_t n) const;
    static int str_case_cmp(const char* a, const char* b);

    // Validation and normalisation.
    static bool is_valid(const ustring& s);
    ustring normalize(normalization_form form) const;

private:
    void realloc_data(size_t needed);
    // Frees the UTF-16 form; only operations that change the text call it.
    void drop_cache();
    void set_bytes(const char* s, size_t n);
    void append_bytes(const char* s, size_t n);
    void set_utf16(const char16_t* s, size_t n, bool append);

    char* data;
    size_t data_len;
    size_t data_cap;
    // The UTF-16 form from malloc, zero-terminated; null until it is asked
    // for after a change. Written once by c_str_utf16() (see above), freed
    // by the changing operations.
    mutable std::atomic<char16_t*> wcache;
};

ustring operator+(const ustring& a, const ustring& b);
ustring operator+(const ustring& a, const char* b);
ustring operator+(const char* a, const ustring& b);
ustring operator+(const ustring& a, const std::string& b);
ustring operator+(const ustring& a, const char16_t* b);
ustring operator+(const ustring& a, char b);

bool operator==(const ustring& a, const ustring& b);
bool operator==(const ustring& a, const char* b);
bool operator!=(const ustring& a, const ustring& b);
bool operator!=(const ustring& a, const char* b);
bool operator<(const ustring& a, const ustring& b);
bool operator>(const ustring& a, const ustring& b);
bool operator<=(const ustring& a, const ustring& b);
bool operator>=(const ustring& a, const ustring& b);

std::ostream& operator<<(std::ostream& os, const ustring& s);

template <>
struct std::hash<ustring> {
    size_t operator()(const ustring& s) const noexcept { return std::hash<std::string_view>()(s.view()); }
};
