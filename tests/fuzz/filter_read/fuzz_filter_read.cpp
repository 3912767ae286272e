// Feeds arbitrary bytes to the filter file reader through a real file (its
// line reads are part of what is tested), as a black list, a white list and a
// forced-hash list. An accepted black list is tested against a few paths and
// against the input itself as a path, and written back; whenever the writer
// says the text reads back, reading it must give the same record.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "filter/filter.h"
#include "filter/force_hash_check_list.h"
#include "filter/white_list.h"

namespace {

std::string temp_file() {
    char pattern[] = "/tmp/fuzz-filter-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) std::abort();
    close(fd);
    return pattern;
}

bool same_set(const value_type_string_set& a, const value_type_string_set& b) {
    if (a.used != b.used) return false;
    for (size_t i = 0; i < a.used; ++i) {
        if (std::strcmp(a.set[i], b.set[i]) != 0) return false;
    }
    return true;
}

bool same_string(const value_type_string& a, const value_type_string& b) {
    if (!a.str || !b.str) return a.str == b.str;
    return std::strcmp(a.str, b.str) == 0;
}

bool same_filter(const Filter& a, const Filter& b) {
    return a.version.major == b.version.major && a.version.minor == b.version.minor &&
           same_string(a.common.black_char, b.common.black_char) &&
           same_set(a.common.black_prefix, b.common.black_prefix) &&
           same_set(a.common.black_dir_prefix, b.common.black_dir_prefix) &&
           same_set(a.common.black_name, b.common.black_name) &&
           same_set(a.common.black_path_prefix_selective_sync, b.common.black_path_prefix_selective_sync) &&
           a.common.max_length == b.common.max_length && a.common.max_path == b.common.max_path &&
           same_string(a.file.black_char, b.file.black_char) && same_set(a.file.black_ext, b.file.black_ext) &&
           same_set(a.file.black_name, b.file.black_name) && same_set(a.file.black_prefix, b.file.black_prefix) &&
           same_set(a.file.black_ext_selective_sync, b.file.black_ext_selective_sync) &&
           same_set(a.file.black_name_selective_sync, b.file.black_name_selective_sync) &&
           a.file.max_size == b.file.max_size && a.file.max_size_selective_sync == b.file.max_size_selective_sync &&
           same_string(a.directory.black_char, b.directory.black_char) &&
           same_set(a.directory.black_name, b.directory.black_name) &&
           same_set(a.directory.black_prefix, b.directory.black_prefix) &&
           same_set(a.ea.black_ea_name, b.ea.black_ea_name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const std::string input = temp_file();
    static const std::string output = temp_file();
    FILE* fp = std::fopen(input.c_str(), "wb");
    if (!fp) return 0;
    std::fwrite(bytes, 1, size, fp);
    std::fclose(fp);

    Filter filter;
    filter_init(&filter);
    if (filter_read(&filter, input.c_str()) == 0) {
        static const char* const paths[] = {"/", "/a.txt", "/dir/sub/.profile", "/A/B/c.TMP", "relative", ""};
        for (const char* p : paths) {
            if (filter_test_path(&filter, 0, p) > 0 || filter_test_path(&filter, 1, p) > 0) std::abort();
        }
        // The input itself as a path, up to past the longest allowed one.
        std::string as_path(reinterpret_cast<const char*>(bytes), size < 5000 ? size : 5000);
        if (filter_test_path(&filter, 0, as_path.c_str()) > 0 || filter_test_path(&filter, 1, as_path.c_str()) > 0) {
            std::abort();
        }
        (void)filter_test_file_size(&filter, 1u << 20);
        (void)filter_test_full_path_size(&filter, 300);
        (void)filter_test_ea(&filter, "com.apple.quarantine");

        Filter copy;
        filter_init(&copy);
        if (filter_copy(&copy, &filter) != 0 || !same_filter(copy, filter)) std::abort();
        filter_destroy(&copy);

        if (filter_write(&filter, output.c_str()) == 0) {
            Filter back;
            filter_init(&back);
            if (filter_read(&back, output.c_str()) != 0 || !same_filter(back, filter)) std::abort();
            filter_destroy(&back);
        }
    }
    filter_destroy(&filter);

    WhiteList white;
    white_list_init(&white);
    if (white_list_read(&white, input.c_str()) == 0) (void)white_list_test(&white, "a.txt");
    white_list_destroy(&white);

    ForceHashCheckList force;
    force_hash_check_list_init(&force);
    if (force_hash_check_list_read(&force, input.c_str()) == 0) (void)force_hash_extension_test(&force, "a.doc");
    force_hash_check_list_destroy(&force);
    return 0;
}
