#include <gtest/gtest.h>

#include <string>

#include "filter/filter.h"
#include "record_text.h"
#include "support/temp_dir.h"

using filter_testing::record_text;
using tidewell::testing::TempDir;

namespace {

class FilterWriteTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(filter_init(&filter), 0); }
    void TearDown() override { filter_destroy(&filter); }

    void add(value_type_string_set& ss, const std::string& s) { ASSERT_EQ(vt_string_set_insert(&ss, s.c_str()), 0); }

    TempDir dir;
    Filter filter;
};

TEST_F(FilterWriteTest, WritesTheFormatInOrder) {
    filter.version = {1, 0};
    vt_string_assign(&filter.common.black_char, "\\/:*?\"<>|");
    for (const char* e : {"a", "b", "c", "d", "e", "f", "g"}) add(filter.file.black_ext, e);
    add(filter.file.black_name_selective_sync, "x$y");
    filter.file.max_size_selective_sync = 100;
    add(filter.ea.black_ea_name, "com.apple.quarantine");
    std::string path = dir.file("out.filter");
    ASSERT_EQ(filter_write(&filter, path.c_str()), 0);
    EXPECT_EQ(TempDir::read(path),
              "[Version]\nmajor = 1\nminor = 0\n"
              "[Common]\nblack_char = \"\\\\/:*?\\\"<>|\"\nmax_length = 0\nmax_path = 0\n"
              "[File]\nblack_ext = \"a\", \"b\", \"c\", \"d\", \"e\", \n\"f\", \"g\"\n"
              "black_name_selective_sync = \"x\\x24y\"\nmax_size = 0\nmax_size_selective_sync = 100\n"
              "[Directory]\n"
              "[EA]\nblack_ea_name = \"com.apple.quarantine\"\n\n");
}

TEST_F(FilterWriteTest, EverythingWrittenReadsBack) {
    filter.version = {1, 3};
    vt_string_assign(&filter.common.black_char, "\t\n\v\f\r\x01\x7f$@`\"\\");
    vt_string_assign(&filter.file.black_char, "caf\xc3\xa9");
    vt_string_assign(&filter.directory.black_char, "?");
    for (int i = 0; i < 12; ++i) add(filter.common.black_prefix, "p" + std::to_string(i));
    add(filter.common.black_dir_prefix, "/tmp");
    add(filter.common.black_name, "desktop.ini");
    add(filter.common.black_path_prefix_selective_sync, "/Photos/Raw");
    add(filter.file.black_ext, "tmp");
    add(filter.file.black_ext, "tmp");  // duplicates are kept
    add(filter.file.black_name, "thumbs.db");
    add(filter.file.black_prefix, "._");
    add(filter.file.black_ext_selective_sync, "iso");
    add(filter.file.black_name_selective_sync, "big.bin");
    add(filter.directory.black_name, "@eaDir");
    add(filter.directory.black_prefix, ".git");
    add(filter.ea.black_ea_name, "a");
    filter.common.max_length = 255;
    filter.common.max_path = 4096;
    filter.file.max_size = 10737418240;
    filter.file.max_size_selective_sync = -1;
    // Entries whose escaped form fills most of a line are moved to lines of
    // their own.
    add(filter.file.black_name, std::string(200, '$'));
    add(filter.file.black_name, std::string(200, '@'));

    std::string path = dir.file("out.filter");
    ASSERT_EQ(filter_write(&filter, path.c_str()), 0);
    Filter back;
    filter_init(&back);
    ASSERT_EQ(filter_read(&back, path.c_str()), 0);
    EXPECT_EQ(record_text(back), record_text(filter));

    Filter copy;
    filter_init(&copy);
    ASSERT_EQ(filter_copy(&copy, &filter), 0);
    EXPECT_EQ(record_text(copy), record_text(filter));
    filter_destroy(&copy);
    filter_destroy(&back);
}

TEST_F(FilterWriteTest, ReportsWhatCannotReadBack) {
    // 400 bytes that escape to 1600: more than one read takes.
    add(filter.file.black_name, std::string(400, '\x80'));
    std::string path = dir.file("out.filter");
    EXPECT_EQ(filter_write(&filter, path.c_str()), -1);

    filter_destroy(&filter);
    filter_init(&filter);
    vt_string_assign(&filter.common.black_char, std::string(300, '\xff').c_str());
    EXPECT_EQ(filter_write(&filter, path.c_str()), -1);

    filter_destroy(&filter);
    filter_init(&filter);
    vt_string_assign(&filter.file.black_char, std::string(513, 'a').c_str());
    EXPECT_EQ(filter_write(&filter, path.c_str()), -1);

    EXPECT_EQ(filter_write(&filter, (dir.file("no-such-dir") + "/f").c_str()), -1);
}

}  // namespace
