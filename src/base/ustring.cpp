#include "base/ustring.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <stdexcept>

namespace {

constexpr size_t kInitialCap = 4;

inline unsigned char lower_ascii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Length of `s` up to its first zero byte, reading at most `n` bytes.
inline size_t bounded_len(const char* s, size_t n) {
    if (!s) return 0;
    const void* z = std::memchr(s, 0, n);
    return z ? static_cast<size_t>(static_cast<const char*>(z) - s) : n;
}

inline size_t bounded_len16(const char16_t* s, size_t n) {
    if (!s) return 0;
    size_t i = 0;
    while (i < n && s[i] != 0) ++i;
    return i;
}

template <typename T>
T* alloc_buffer(size_t count) {
    void* p = std::malloc(count * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
}

template <typename T>
T* resize_buffer(T* old, size_t count) {
    void* p = std::realloc(old, count * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
}

// The UTF-16 form of `n` bytes of UTF-8, zero-terminated, in a buffer from
// malloc; null (after a warning line on standard error) when ICU refuses
// the bytes.
char16_t* utf8_to_utf16(const char* s, size_t n) {
    UErrorCode err = U_ZERO_ERROR;
    int32_t needed = 0;
    u_strFromUTF8(nullptr, 0, &needed, s, static_cast<int32_t>(n), &err);
    if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
        std::fprintf(stderr, "Warning: u_strFromUTF8: error code %d\n", static_cast<int>(err));
        return nullptr;
    }
    char16_t* units = alloc_buffer<char16_t>(static_cast<size_t>(needed) + 1);
    err = U_ZERO_ERROR;
    int32_t written = 0;
    u_strFromUTF8(reinterpret_cast<UChar*>(units), needed + 1, &written, s, static_cast<int32_t>(n), &err);
    if (U_FAILURE(err)) {
        std::fprintf(stderr, "Warning: u_strFromUTF8: error code %d\n", static_cast<int>(err));
        std::free(units);
        return nullptr;
    }
    units[written] = 0;
    return units;
}

// The UTF-8 form of `n` UTF-16 units into `out`: false (after a warning
// line on standard error) when ICU refuses them.
bool utf16_to_utf8(const char16_t* s, size_t n, std::string& out) {
    out.clear();
    if (n == 0) return true;
    const UChar* src = reinterpret_cast<const UChar*>(s);
    UErrorCode err = U_ZERO_ERROR;
    int32_t needed = 0;
    u_strToUTF8(nullptr, 0, &needed, src, static_cast<int32_t>(n), &err);
    if (err == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(err)) {
        out.resize(static_cast<size_t>(needed));
        err = U_ZERO_ERROR;
        int32_t written = 0;
        u_strToUTF8(out.data(), needed, &written, src, static_cast<int32_t>(n), &err);
        if (U_SUCCESS(err) || err == U_STRING_NOT_TERMINATED_WARNING) {
            out.resize(static_cast<size_t>(written));
            return true;
        }
    }
    std::fprintf(stderr, "Warning: u_strToUTF8: error code %d\n", static_cast<int>(err));
    out.clear();
    return false;
}

}  // namespace

ustring::ustring() : data(alloc_buffer<char>(kInitialCap)), data_len(0), data_cap(kInitialCap), wcache(nullptr) {
    data[0] = 0;
}

ustring::ustring(const char* s) : ustring() {
    assign(s);
}
ustring::ustring(const char* s, size_t n) : ustring() {
    assign(s, n);
}
ustring::ustring(const char16_t* s) : ustring() {
    assign(s);
}
ustring::ustring(const std::string& s) : ustring() {
    assign(s);
}
ustring::ustring(std::string_view s) : ustring() {
    set_bytes(s.data(), bounded_len(s.data(), s.size()));
}
ustring::ustring(char c) : ustring() {
    assign(1, c);
}
ustring::ustring(const ustring& other) : ustring() {
    set_bytes(other.data, other.data_len);
}

ustring::ustring(ustring&& other) noexcept : ustring() {
    swap(other);
}

ustring::~ustring() {
    std::free(data);
    std::free(wcache.load(std::memory_order_relaxed));
}

ustring& ustring::operator=(ustring&& s) noexcept {
    if (this != &s) {
        swap(s);
        s.clear();
    }
    return *this;
}

void ustring::realloc_data(size_t needed) {
    if (needed > data_cap || needed < data_cap / 2) {
        data = resize_buffer(data, needed);
        data_cap = needed;
    }
}

void ustring::drop_cache() {
    std::free(wcache.exchange(nullptr, std::memory_order_relaxed));
}

void ustring::set_bytes(const char* s, size_t n) {
    if (s >= data && s < data + data_cap) {
        // The source lies in our own buffer: copy it before reallocating.
        std::string copy(s, n);
        realloc_data(n + 1);
        std::memcpy(data, copy.data(), n);
    } else {
        realloc_data(n + 1);
        if (n) std::memcpy(data, s, n);
    }
    data[n] = 0;
    data_len = n;
    drop_cache();
}

void ustring::append_bytes(const char* s, size_t n) {
    if (n == 0) {
        drop_cache();
        return;
    }
    if (s >= data && s < data + data_cap) {
        std::string copy(s, n);
        realloc_data(data_len + n + 1);
        std::memcpy(data + data_len, copy.data(), n);
    } else {
        realloc_data(data_len + n + 1);
        std::memcpy(data + data_len, s, n);
    }
    data_len += n;
    data[data_len] = 0;
    drop_cache();
}

void ustring::set_utf16(const char16_t* s, size_t n, bool append) {
    std::string bytes;
    if (!utf16_to_utf8(s, n, bytes)) {
        // Text that has no UTF-8 form empties the string.
        clear();
        return;
    }
    if (append)
        append_bytes(bytes.data(), bytes.size());
    else
        set_bytes(bytes.data(), bytes.size());
}

const char16_t* ustring::c_str_utf16() const {
    static const char16_t kEmpty[1] = {0};
    char16_t* cached = wcache.load(std::memory_order_acquire);
    if (cached) return cached;
    if (data_len == 0) return kEmpty;
    char16_t* built = utf8_to_utf16(data, data_len);
    if (!built) return kEmpty;  // no UTF-16 form: the warning has been written
    // Another reader may have built the same form meanwhile: the first one
    // published stays, for as long as the text does not change.
    char16_t* expected = nullptr;
    if (wcache.compare_exchange_strong(expected, built, std::memory_order_acq_rel, std::memory_order_acquire))
        return built;
    std::free(built);
    return expected;
}

ustring ustring::substr(size_t pos, size_t n) const {
    if (pos > data_len) throw std::out_of_range("substr");
    size_t avail = data_len - pos;
    if (n > avail) n = avail;
    return ustring(data + pos, n);
}

ustring& ustring::assign(const char* s) {
    set_bytes(s ? s : "", s ? std::strlen(s) : 0);
    return *this;
}

ustring& ustring::assign(const char* s, size_t n) {
    set_bytes(s ? s : "", bounded_len(s, n));
    return *this;
}

ustring& ustring::assign(const ustring& s) {
    if (&s != this) set_bytes(s.data, s.data_len);
    return *this;
}

ustring& ustring::assign(const ustring& s, size_t pos, size_t n) {
    if (pos > s.data_len) throw std::out_of_range("assign");
    size_t avail = s.data_len - pos;
    set_bytes(s.data + pos, n > avail ? avail : n);
    return *this;
}

ustring& ustring::assign(const std::string& s) {
    set_bytes(s.data(), bounded_len(s.data(), s.size()));
    return *this;
}

ustring& ustring::assign(size_t n, char c) {
    if (c == 0) n = 0;
    realloc_data(n + 1);
    std::memset(data, c, n);
    data[n] = 0;
    data_len = n;
    drop_cache();
    return *this;
}

ustring& ustring::assign(const char16_t* s) {
    set_utf16(s, bounded_len16(s, npos), false);
    return *this;
}

ustring& ustring::assign(const char16_t* s, size_t n) {
    set_utf16(s, bounded_len16(s, n), false);
    return *this;
}

ustring& ustring::append(const char* s) {
    append_bytes(s ? s : "", s ? std::strlen(s) : 0);
    return *this;
}

ustring& ustring::append(const char* s, size_t n) {
    append_bytes(s ? s : "", bounded_len(s, n));
    return *this;
}

ustring& ustring::append(const ustring& s) {
    append_bytes(s.data, s.data_len);
    return *this;
}

ustring& ustring::append(const ustring& s, size_t pos, size_t n) {
    if (pos > s.data_len) throw std::out_of_range("append");
    size_t avail = s.data_len - pos;
    append_bytes(s.data + pos, n > avail ? avail : n);
    return *this;
}

ustring& ustring::append(const std::string& s) {
    append_bytes(s.data(), bounded_len(s.data(), s.size()));
    return *this;
}

ustring& ustring::append(size_t n, char c) {
    if (c == 0 || n == 0) {
        drop_cache();
        return *this;
    }
    realloc_data(data_len + n + 1);
    std::memset(data + data_len, c, n);
    data_len += n;
    data[data_len] = 0;
    drop_cache();
    return *this;
}

ustring& ustring::append(const char16_t* s) {
    set_utf16(s, bounded_len16(s, npos), true);
    return *this;
}

ustring& ustring::append(const char16_t* s, size_t n) {
    set_utf16(s, bounded_len16(s, n), true);
    return *this;
}

void ustring::clear() {
    realloc_data(1);
    data[0] = 0;
    data_len = 0;
    drop_cache();
}

void ustring::swap(ustring& other) noexcept {
    std::swap(data, other.data);
    std::swap(data_len, other.data_len);
    std::swap(data_cap, other.data_cap);
    char16_t* mine = wcache.load(std::memory_order_relaxed);
    wcache.store(other.wcache.load(std::memory_order_relaxed), std::memory_order_relaxed);
    other.wcache.store(mine, std::memory_order_relaxed);
}

ustring& ustring::replace(char from, char to) {
    if (from == 0) return *this;
    if (to == 0) {
        // A zero byte ends the text.
        char* p = static_cast<char*>(std::memchr(data, from, data_len));
        if (p) {
            data_len = static_cast<size_t>(p - data);
            *p = 0;
        }
    } else {
        for (size_t i = 0; i < data_len; ++i)
            if (data[i] == from) data[i] = to;
    }
    drop_cache();
    return *this;
}

ustring& ustring::ltrim(const char* list) {
    if (!list || !*list) return *this;
    size_t i = 0;
    while (i < data_len && std::strchr(list, data[i])) ++i;
    if (i) set_bytes(data + i, data_len - i);
    return *this;
}

ustring& ustring::rtrim(const char* list) {
    if (!list || !*list) return *this;
    size_t n = data_len;
    while (n > 0 && std::strchr(list, data[n - 1])) --n;
    if (n != data_len) set_bytes(data, n);
    return *this;
}

ustring& ustring::trim(const char* list) {
    rtrim(list);
    return ltrim(list);
}

size_t ustring::find(const char* needle, size_t pos) const {
    if (pos >= data_len) return npos;
    size_t n = needle ? std::strlen(needle) : 0;
    if (n == 0) return pos;
    if (n > data_len - pos) return npos;
    const void* hit = memmem(data + pos, data_len - pos, needle, n);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - data) : npos;
}

size_t ustring::find(char c, size_t pos) const {
    if (pos >= data_len) return npos;
    if (c == 0) return pos;
    const void* hit = std::memchr(data + pos, c, data_len - pos);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - data) : npos;
}

size_t ustring::rfind(const char* needle, size_t pos) const {
    if (data_len == 0) return npos;
    size_t start = pos >= data_len ? data_len - 1 : pos;
    size_t n = needle ? std::strlen(needle) : 0;
    if (n == 0) return start;
    if (n > data_len) return npos;
    size_t i = start > data_len - n ? data_len - n : start;
    for (;; --i) {
        if (std::memcmp(data + i, needle, n) == 0) return i;
        if (i == 0) return npos;
    }
}

size_t ustring::rfind(char c, size_t pos) const {
    char needle[2] = {c, 0};
    return rfind(needle, pos);
}

size_t ustring::find_first_of(const char* set, size_t pos) const {
    if (pos >= data_len || !set || !*set) return npos;
    for (size_t i = pos; i < data_len; ++i)
        if (std::strchr(set, data[i])) return i;
    return npos;
}

size_t ustring::find_first_of(char c, size_t pos) const {
    char set[2] = {c, 0};
    return find_first_of(set, pos);
}

size_t ustring::find_first_not_of(const char* set, size_t pos) const {
    if (pos >= data_len) return npos;
    if (!set || !*set) return pos;
    for (size_t i = pos; i < data_len; ++i)
        if (!std::strchr(set, data[i])) return i;
    return npos;
}

size_t ustring::find_first_not_of(char c, size_t pos) const {
    char set[2] = {c, 0};
    return find_first_not_of(set, pos);
}

size_t ustring::find_last_of(const char* set, size_t pos) const {
    if (data_len == 0 || !set || !*set) return npos;
    size_t i = pos >= data_len ? data_len - 1 : pos;
    for (;; --i) {
        if (std::strchr(set, data[i])) return i;
        if (i == 0) return npos;
    }
}

size_t ustring::find_last_of(char c, size_t pos) const {
    char set[2] = {c, 0};
    return find_last_of(set, pos);
}

size_t ustring::find_last_not_of(const char* set, size_t pos) const {
    if (data_len == 0) return npos;
    size_t i = pos >= data_len ? data_len - 1 : pos;
    if (!set || !*set) return i;
    for (;; --i) {
        if (!std::strchr(set, data[i])) return i;
        if (i == 0) return npos;
    }
}

size_t ustring::find_last_not_of(char c, size_t pos) const {
    char set[2] = {c, 0};
    return find_last_not_of(set, pos);
}

int ustring::compare(const ustring& a, const ustring& b, bool caseless) {
    if (!caseless) {
        size_t n = a.data_len < b.data_len ? a.data_len : b.data_len;
        for (size_t i = 0; i <= n; ++i) {
            unsigned char x = static_cast<unsigned char>(a.data[i]);
            unsigned char y = static_cast<unsigned char>(b.data[i]);
            if (x != y) return static_cast<int>(x) - static_cast<int>(y);
        }
        return 0;
    }
    return str_case_cmp(a.data, b.data);
}

int ustring::compare(const ustring& other, size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(data[i]);
        unsigned char y = static_cast<unsigned char>(other.data[i]);
        if (x != y) return static_cast<int>(x) - static_cast<int>(y);
        if (x == 0) return 0;
    }
    return 0;
}

int ustring::str_case_cmp(const char* a, const char* b) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a ? a : "");
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b ? b : "");
    for (;; ++p, ++q) {
        unsigned char x = lower_ascii(*p);
        unsigned char y = lower_ascii(*q);
        if (x != y) return static_cast<int>(x) - static_cast<int>(y);
        if (x == 0) return 0;
    }
}

bool ustring::is_valid(const ustring& s) {
    if (s.data_len == 0) return true;
    UErrorCode err = U_ZERO_ERROR;
    int32_t needed = 0;
    u_strFromUTF8(nullptr, 0, &needed, s.data, static_cast<int32_t>(s.data_len), &err);
    return err != U_INVALID_CHAR_FOUND;
}

ustring ustring::normalize(normalization_form form) const {
    ustring result;
    if (data_len == 0) return result;
    UErrorCode err = U_ZERO_ERROR;
    const UNormalizer2* norm =
        unorm2_getInstance(nullptr, "nfc", form == NFC ? UNORM2_COMPOSE : UNORM2_DECOMPOSE, &err);
    if (U_FAILURE(err) || !norm) {
        std::fprintf(stderr, "Warning: unorm2_getInstance: error code %d\n", static_cast<int>(err));
        return result;
    }
    // A private UTF-16 copy: the cache is not touched, so that a string read
    // by several threads at once stays a pure read.
    std::unique_ptr<char16_t, decltype(&std::free)> units(utf8_to_utf16(data, data_len), &std::free);
    if (!units) return result;
    const UChar* src = reinterpret_cast<const UChar*>(units.get());
    int32_t src_len = u_strlen(src);
    if (src_len == 0) return result;
    err = U_ZERO_ERROR;
    int32_t needed = unorm2_normalize(norm, src, src_len, nullptr, 0, &err);
    if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
        std::fprintf(stderr, "Warning: unorm2_normalize: error code %d\n", static_cast<int>(err));
        return result;
    }
    std::u16string out(static_cast<size_t>(needed) + 1, u'\0');
    err = U_ZERO_ERROR;
    int32_t written = unorm2_normalize(norm, src, src_len, reinterpret_cast<UChar*>(out.data()),
                                       static_cast<int32_t>(out.size()), &err);
    if (U_FAILURE(err)) {
        std::fprintf(stderr, "Warning: unorm2_normalize: error code %d\n", static_cast<int>(err));
        return result;
    }
    result.assign(out.data(), static_cast<size_t>(written));
    return result;
}

ustring operator+(const ustring& a, const ustring& b) {
    return ustring(a).append(b);
}
ustring operator+(const ustring& a, const char* b) {
    return ustring(a).append(b);
}
ustring operator+(const char* a, const ustring& b) {
    return ustring(a).append(b);
}
ustring operator+(const ustring& a, const std::string& b) {
    return ustring(a).append(b);
}
ustring operator+(const ustring& a, const char16_t* b) {
    return ustring(a).append(b);
}
ustring operator+(const ustring& a, char b) {
    return ustring(a).append(1, b);
}

bool operator==(const ustring& a, const ustring& b) {
    return a.length() == b.length() && std::memcmp(a.c_str(), b.c_str(), a.length()) == 0;
}
bool operator==(const ustring& a, const char* b) {
    return std::strcmp(a.c_str(), b ? b : "") == 0;
}
bool operator!=(const ustring& a, const ustring& b) {
    return !(a == b);
}
bool operator!=(const ustring& a, const char* b) {
    return !(a == b);
}
namespace {

// The sign of the byte-wise comparison; the text holds no zero byte, so a
// proper prefix sorts first exactly as the terminator makes it in compare().
inline int order(const ustring& a, const ustring& b) {
    size_t n = a.length() < b.length() ? a.length() : b.length();
    int r = std::memcmp(a.c_str(), b.c_str(), n);
    if (r != 0) return r;
    return a.length() < b.length() ? -1 : (a.length() > b.length() ? 1 : 0);
}

}  // namespace

bool operator<(const ustring& a, const ustring& b) {
    return order(a, b) < 0;
}
bool operator>(const ustring& a, const ustring& b) {
    return order(a, b) > 0;
}
bool operator<=(const ustring& a, const ustring& b) {
    return order(a, b) <= 0;
}
bool operator>=(const ustring& a, const ustring& b) {
    return order(a, b) >= 0;
}

std::ostream& operator<<(std::ostream& os, const ustring& s) {
    return os.write(s.c_str(), static_cast<std::streamsize>(s.length()));
}
