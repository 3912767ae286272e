#include "filter/filter.h"

#include <array>
#include <cinttypes>
#include <cstddef>
#include <string>
#include <string_view>

#include "filter/name_match.h"
#include "filter/parser.h"

using namespace filter_match;

namespace {

const schema_key version_keys[] = {
    {"major", integer32_type, offsetof(VersionSection, major)},
    {"minor", integer32_type, offsetof(VersionSection, minor)},
};

const schema_key common_keys[] = {
    {"black_char", string_type, offsetof(CommonSection, black_char)},
    {"black_prefix", string_set_type, offsetof(CommonSection, black_prefix)},
    {"black_dir_prefix", string_set_type, offsetof(CommonSection, black_dir_prefix)},
    {"black_name", string_set_type, offsetof(CommonSection, black_name)},
    {"black_path_prefix_selective_sync", string_set_type, offsetof(CommonSection, black_path_prefix_selective_sync)},
    {"max_length", integer64_type, offsetof(CommonSection, max_length)},
    {"max_path", integer64_type, offsetof(CommonSection, max_path)},
};

const schema_key file_keys[] = {
    {"black_char", string_type, offsetof(FileSection, black_char)},
    {"black_ext", string_set_type, offsetof(FileSection, black_ext)},
    {"black_name", string_set_type, offsetof(FileSection, black_name)},
    {"black_prefix", string_set_type, offsetof(FileSection, black_prefix)},
    {"black_ext_selective_sync", string_set_type, offsetof(FileSection, black_ext_selective_sync)},
    {"black_name_selective_sync", string_set_type, offsetof(FileSection, black_name_selective_sync)},
    {"max_size", integer64_type, offsetof(FileSection, max_size)},
    {"max_size_selective_sync", integer64_type, offsetof(FileSection, max_size_selective_sync)},
};

const schema_key directory_keys[] = {
    {"black_char", string_type, offsetof(DirectorySection, black_char)},
    {"black_name", string_set_type, offsetof(DirectorySection, black_name)},
    {"black_prefix", string_set_type, offsetof(DirectorySection, black_prefix)},
};

const schema_key ea_keys[] = {
    {"black_ea_name", string_set_type, offsetof(EASection, black_ea_name)},
};

template <size_t N>
constexpr int count(const schema_key (&)[N]) {
    static_assert(N <= kSchemaMaxKeys);
    return static_cast<int>(N);
}

const schema_section filter_sections[] = {
    {"Version", offsetof(Filter, version), count(version_keys), version_keys},
    {"Common", offsetof(Filter, common), count(common_keys), common_keys},
    {"File", offsetof(Filter, file), count(file_keys), file_keys},
    {"Directory", offsetof(Filter, directory), count(directory_keys), directory_keys},
    {"EA", offsetof(Filter, ea), count(ea_keys), ea_keys},
};

// Every string set and string of the record, in one fixed order; the sets
// of Directory and EA start with room for 2 entries, the others for 4.
template <typename R>
auto sets_of(R* f) {
    return std::array{&f->common.black_prefix,
                      &f->common.black_dir_prefix,
                      &f->common.black_name,
                      &f->common.black_path_prefix_selective_sync,
                      &f->file.black_ext,
                      &f->file.black_name,
                      &f->file.black_prefix,
                      &f->file.black_ext_selective_sync,
                      &f->file.black_name_selective_sync,
                      &f->directory.black_name,
                      &f->directory.black_prefix,
                      &f->ea.black_ea_name};
}
constexpr size_t set_room[] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 2, 2, 2};

template <typename R>
auto strings_of(R* f) {
    return std::array{&f->common.black_char, &f->file.black_char, &f->directory.black_char};
}

bool contains_black_char(std::string_view name, const value_type_string& chars) {
    return contains_any_char(name, chars.str);
}

bool over_length(std::string_view name, int64_t max_length) {
    return max_length != 0 && name.size() > static_cast<uint64_t>(max_length);
}

// Tests every directory on the way: `dir` is the directory part, `whole` the
// path the prefix rules look at.
int test_directory_part(const Filter* f, std::string_view dir, std::string_view whole) {
    size_t pos = dir.find_first_not_of('/');
    if (pos == std::string_view::npos) return FILTER_PASS;
    while (pos < dir.size()) {
        size_t end = dir.find('/', pos);
        if (end == std::string_view::npos) end = dir.size();
        std::string_view c = dir.substr(pos, end - pos);
        pos = end + 1;
        if (c.empty()) continue;
        if (contains_black_char(c, f->common.black_char)) return FILTER_BLACK_CHAR;
        if (set_has_prefix_of(f->common.black_prefix, c)) return FILTER_BLACK_PREFIX;
        if (set_has_parent_of(f->common.black_dir_prefix, whole)) return FILTER_BLACK_DIR_PREFIX;
        if (set_has_name(f->common.black_name, c)) return FILTER_BLACK_NAME;
        if (over_length(c, f->common.max_length)) return FILTER_MAX_LENGTH;
        if (set_has_parent_of(f->common.black_path_prefix_selective_sync, whole)) return FILTER_SELECTIVE_PATH_PREFIX;
        if (contains_black_char(c, f->directory.black_char)) return FILTER_BLACK_CHAR;
        if (set_has_name(f->directory.black_name, c)) return FILTER_BLACK_NAME;
        if (set_has_prefix_of(f->directory.black_prefix, c)) return FILTER_BLACK_PREFIX;
    }
    return FILTER_PASS;
}

constexpr size_t kMaxDirectoryPart = 4096;
constexpr size_t kMaxName = 512;
constexpr size_t kMaxLine = 1023;  // a line's text without its line feed

// Writes the file format, keeping track of whether everything written reads
// back the same.
class writer {
public:
    explicit writer(FILE* fp) : fp_(fp) {}

    void text(std::string_view s) {
        if (std::fwrite(s.data(), 1, s.size(), fp_) != s.size()) ok_ = false;
        for (char c : s) {
            if (c == '\n') {
                line_ = 0;
            } else if (++line_ > kMaxLine) {
                ok_ = false;
            }
        }
    }
    size_t line() const { return line_; }
    void fail() { ok_ = false; }
    bool ok() const { return ok_; }

private:
    FILE* fp_;
    size_t line_ = 0;
    bool ok_ = true;
};

std::string escaped(const char* s) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        unsigned char c = *p;
        switch (c) {
            case '\t':
                out += "\\t";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\v':
                out += "\\v";
                continue;
            case '\f':
                out += "\\f";
                continue;
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            default:
                break;
        }
        if (c <= 8 || (c >= 13 && c <= 31) || c == '$' || c == '@' || c == '`' || c >= 127) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

bool readable_string(const char* s) {
    size_t n = std::char_traits<char>::length(s);
    return n > 0 && n <= static_cast<size_t>(kParserStringMax);
}

void print_string(writer& w, const char* key, const value_type_string& s) {
    if (!s.str) return;
    if (!readable_string(s.str)) w.fail();
    w.text(std::string(key) + " = " + escaped(s.str) + "\n");
}

void print_set(writer& w, const char* key, const value_type_string_set& ss) {
    if (ss.used == 0) return;
    w.text(std::string(key) + " = ");
    for (size_t i = 0; i < ss.used; ++i) {
        if (!readable_string(ss.set[i])) w.fail();
        std::string e = escaped(ss.set[i]);
        // Continue on a new line rather than let one line grow past what a
        // read takes (the previous entry ended with ", ").
        if (i > 0 && w.line() > 0 && w.line() + e.size() + 2 > kMaxLine) w.text("\n");
        w.text(e);
        if (i + 1 < ss.used) w.text((i + 1) % 5 == 0 ? ", \n" : ", ");
    }
    w.text("\n");
}

void print_number(writer& w, const char* key, int64_t v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s = %" PRIu64 "\n", key, static_cast<uint64_t>(v));
    w.text(buf);
}

}  // namespace

const schema_parser tw_filter_schema = {
    1,
    0,
    static_cast<int>(sizeof filter_sections / sizeof filter_sections[0]),
    filter_sections,
};

int filter_init(Filter* filter) {
    *filter = Filter{};
    int rc = 0;
    auto sets = sets_of(filter);
    for (size_t i = 0; i < sets.size(); ++i) {
        if (vt_string_set_init(sets[i], set_room[i]) != 0) rc = -1;
    }
    return rc;
}

int filter_read(Filter* filter, const char* fname) {
    parse_result r = parse(fname, &tw_filter_schema, filter);
    if (r == PARSE_DONE || (r == PARSE_PARTIAL && filter->version.major == 1 && filter->version.minor > 0)) return 0;
    filter_destroy(filter);
    return -1;
}

void filter_destroy(Filter* filter) {
    for (value_type_string_set* ss : sets_of(filter)) vt_string_set_destroy(ss);
    for (value_type_string* s : strings_of(filter)) vt_string_destroy(s);
    filter->version = VersionSection{};
    filter->common.max_length = 0;
    filter->common.max_path = 0;
    filter->file.max_size = 0;
    filter->file.max_size_selective_sync = 0;
}

int filter_copy(Filter* to, const Filter* from) {
    if (to == from) return 0;
    int rc = 0;
    auto to_sets = sets_of(to);
    auto from_sets = sets_of(from);
    for (size_t i = 0; i < to_sets.size(); ++i) {
        if (vt_string_set_copy(to_sets[i], from_sets[i]) != 0) rc = -1;
    }
    auto to_strings = strings_of(to);
    auto from_strings = strings_of(from);
    for (size_t i = 0; i < to_strings.size(); ++i) {
        if (vt_string_copy(to_strings[i], from_strings[i]) != 0) rc = -1;
    }
    to->version = from->version;
    to->common.max_length = from->common.max_length;
    to->common.max_path = from->common.max_path;
    to->file.max_size = from->file.max_size;
    to->file.max_size_selective_sync = from->file.max_size_selective_sync;
    return rc;
}

int filter_print(const Filter* f, FILE* fp) {
    writer w(fp);
    char buf[64];
    w.text("[Version]\n");
    std::snprintf(buf, sizeof buf, "major = %d\nminor = %d\n", f->version.major, f->version.minor);
    w.text(buf);
    w.text("[Common]\n");
    print_string(w, "black_char", f->common.black_char);
    print_set(w, "black_prefix", f->common.black_prefix);
    print_set(w, "black_dir_prefix", f->common.black_dir_prefix);
    print_set(w, "black_name", f->common.black_name);
    print_set(w, "black_path_prefix_selective_sync", f->common.black_path_prefix_selective_sync);
    print_number(w, "max_length", f->common.max_length);
    print_number(w, "max_path", f->common.max_path);
    w.text("[File]\n");
    print_string(w, "black_char", f->file.black_char);
    print_set(w, "black_ext", f->file.black_ext);
    print_set(w, "black_ext_selective_sync", f->file.black_ext_selective_sync);
    print_set(w, "black_name_selective_sync", f->file.black_name_selective_sync);
    print_set(w, "black_name", f->file.black_name);
    print_set(w, "black_prefix", f->file.black_prefix);
    print_number(w, "max_size", f->file.max_size);
    print_number(w, "max_size_selective_sync", f->file.max_size_selective_sync);
    w.text("[Directory]\n");
    print_string(w, "black_char", f->directory.black_char);
    print_set(w, "black_name", f->directory.black_name);
    print_set(w, "black_prefix", f->directory.black_prefix);
    w.text("[EA]\n");
    print_set(w, "black_ea_name", f->ea.black_ea_name);
    w.text("\n");
    return w.ok() ? 0 : -1;
}

int filter_write(const Filter* filter, const char* fname) {
    if (!fname) return -1;
    FILE* fp = std::fopen(fname, "w");
    if (!fp) return -1;
    int rc = filter_print(filter, fp);
    if (std::fclose(fp) != 0) rc = -1;
    return rc;
}

int filter_test_path(const Filter* f, int is_dir, const char* path) {
    if (!path) return FILTER_MALFORMED;
    std::string_view whole(path);
    if (is_dir) {
        if (whole.size() >= kMaxDirectoryPart) return FILTER_MALFORMED;
        return test_directory_part(f, whole, whole);
    }
    if (whole.empty() || whole[0] != '/') return FILTER_MALFORMED;
    size_t slash = whole.rfind('/');
    std::string_view dir = whole.substr(0, slash + 1);
    std::string_view name = whole.substr(slash + 1);
    if (dir.size() >= kMaxDirectoryPart || name.size() >= kMaxName) return FILTER_MALFORMED;
    std::optional<std::string_view> ext = file_extension(name);

    if (over_length(name, f->common.max_length)) return FILTER_MAX_LENGTH;
    if (contains_black_char(name, f->common.black_char)) return FILTER_BLACK_CHAR;
    if (set_has_prefix_of(f->common.black_prefix, name)) return FILTER_BLACK_PREFIX;
    if (set_has_parent_of(f->common.black_dir_prefix, whole)) return FILTER_BLACK_DIR_PREFIX;
    if (set_has_name(f->common.black_name, name)) return FILTER_BLACK_NAME;
    if (set_has_parent_of(f->common.black_path_prefix_selective_sync, whole)) return FILTER_SELECTIVE_PATH_PREFIX;
    if (contains_black_char(name, f->file.black_char)) return FILTER_BLACK_CHAR;
    if (ext && set_has_name(f->file.black_ext, *ext)) return FILTER_BLACK_EXT;
    if (set_has_name(f->file.black_name, name)) return FILTER_BLACK_NAME;
    if (set_has_prefix_of(f->file.black_prefix, name)) return FILTER_BLACK_PREFIX;
    if (set_has_name(f->file.black_name_selective_sync, name)) return FILTER_SELECTIVE_NAME;
    if (ext && set_has_name(f->file.black_ext_selective_sync, *ext)) return FILTER_SELECTIVE_EXT;
    return test_directory_part(f, dir, whole);
}

int filter_test_file_size(const Filter* f, uint64_t size) {
    if (f->file.max_size != 0 && size > static_cast<uint64_t>(f->file.max_size)) return FILTER_MAX_SIZE;
    if (f->file.max_size_selective_sync != 0 && size > static_cast<uint64_t>(f->file.max_size_selective_sync)) {
        return FILTER_SELECTIVE_SIZE;
    }
    return FILTER_PASS;
}

int filter_test_full_path_size(const Filter* f, uint64_t size) {
    if (f->common.max_path != 0 && size > static_cast<uint64_t>(f->common.max_path)) return FILTER_MAX_PATH;
    return FILTER_PASS;
}

int filter_test_ea(const Filter* f, const char* name) {
    if (name && set_has_name(f->ea.black_ea_name, name)) return FILTER_BLACK_EA_NAME;
    return FILTER_PASS;
}
