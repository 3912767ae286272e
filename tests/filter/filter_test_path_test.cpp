#include <gtest/gtest.h>

#include <string>

#include "filter/filter.h"
#include "support/temp_dir.h"

using tidewell::testing::TempDir;

namespace {

const char kBlackList[] =
    "[Version]\n"
    "major = 1\n"
    "minor = 0\n"
    "[Common]\n"
    "black_char = \":\\xc3\\xa9\"\n"  // ":" and "é"
    "black_prefix = \"~$\"\n"
    "black_dir_prefix = \"/tmp\"\n"
    "black_name = \"desktop.ini\"\n"
    "black_path_prefix_selective_sync = \"/Photos/Raw\"\n"
    "max_length = 20\n"
    "max_path = 100\n"
    "[File]\n"
    "black_char = \"*\"\n"
    "black_ext = \"TMP\"\n"
    "black_name = \"thumbs.db\"\n"
    "black_prefix = \"._\"\n"
    "black_ext_selective_sync = \"iso\"\n"
    "black_name_selective_sync = \"big.bin\"\n"
    "max_size = 1000\n"
    "max_size_selective_sync = 500\n"
    "[Directory]\n"
    "black_char = \"?\"\n"
    "black_name = \"@eaDir\"\n"
    "black_prefix = \".git\"\n"
    "[EA]\n"
    "black_ea_name = \"com.apple.quarantine\"\n";

class BlackListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(filter_init(&filter), 0);
        ASSERT_EQ(filter_read(&filter, dir.write("blacklist.filter", kBlackList).c_str()), 0);
    }
    void TearDown() override { filter_destroy(&filter); }

    TempDir dir;
    Filter filter;
};

struct PathCase {
    bool is_dir;
    std::string path;
    int expected;
};

TEST_F(BlackListTest, PathsGiveTheFirstMatchingReason) {
    const PathCase cases[] = {
        {false, "/a.txt", FILTER_PASS},
        {false, "/docs/sub/a.txt", FILTER_PASS},
        {true, "/", FILTER_PASS},
        {true, "", FILTER_PASS},
        // Malformed.
        {false, "a.txt", FILTER_MALFORMED},
        {false, "", FILTER_MALFORMED},
        {false, "/" + std::string(4095, 'd') + "/x", FILTER_MALFORMED},
        {true, "/" + std::string(4095, 'd'), FILTER_MALFORMED},
        {false, "/" + std::string(512, 'n'), FILTER_MALFORMED},
        // Black characters: common ones everywhere, the others by kind.
        {false, "/a:b.txt", FILTER_BLACK_CHAR},
        {true, "/x/a:b", FILTER_BLACK_CHAR},
        {false, "/caf\xc3\xa9.txt", FILTER_BLACK_CHAR},
        {false, "/\xc3\xa0.txt", FILTER_PASS},  // shares a byte with "é" only
        {false, "/a*b", FILTER_BLACK_CHAR},
        {true, "/a*b", FILTER_PASS},
        {true, "/a?b", FILTER_BLACK_CHAR},
        {false, "/a?b", FILTER_PASS},
        {false, "/a?b/c.txt", FILTER_BLACK_CHAR},
        // Prefixes and names, ignoring case.
        {false, "/~$Doc.docx", FILTER_BLACK_PREFIX},
        {true, "/~$dir", FILTER_BLACK_PREFIX},
        {false, "/Desktop.INI", FILTER_BLACK_NAME},
        {false, "/Thumbs.db", FILTER_BLACK_NAME},
        {true, "/thumbs.db", FILTER_PASS},
        {false, "/._x", FILTER_BLACK_PREFIX},
        {true, "/@EADIR", FILTER_BLACK_NAME},
        {false, "/@eaDir/x", FILTER_BLACK_NAME},
        {true, "/.github", FILTER_BLACK_PREFIX},
        {false, "/.gitignore", FILTER_PASS},
        // Directory prefixes: the path itself or below it.
        {false, "/tmp/a.txt", FILTER_BLACK_DIR_PREFIX},
        {true, "/tmp", FILTER_BLACK_DIR_PREFIX},
        {true, "/TMP/sub", FILTER_BLACK_DIR_PREFIX},
        {false, "/tmpx/a.txt", FILTER_PASS},
        {false, "/tmp", FILTER_BLACK_DIR_PREFIX},
        // Extensions: after the last dot, not a leading one.
        {false, "/a.tmp", FILTER_BLACK_EXT},
        {false, "/a.txt.TMP", FILTER_BLACK_EXT},
        {false, "/.tmp", FILTER_PASS},
        {false, "/a.tmp.txt", FILTER_PASS},
        {false, "/a.", FILTER_PASS},
        // Lengths.
        {false, "/" + std::string(21, 'n'), FILTER_MAX_LENGTH},
        {false, "/" + std::string(20, 'n'), FILTER_PASS},
        {true, "/a/" + std::string(21, 'n') + "/b", FILTER_MAX_LENGTH},
        {false, "/" + std::string(600, 'd') + "/a", FILTER_MAX_LENGTH},
        // Selective sync.
        {false, "/Photos/Raw/x.jpg", FILTER_SELECTIVE_PATH_PREFIX},
        {true, "/photos/raw", FILTER_SELECTIVE_PATH_PREFIX},
        {false, "/Photos/Rawer/x.jpg", FILTER_PASS},
        {false, "/x/BIG.bin", FILTER_SELECTIVE_NAME},
        {false, "/a.ISO", FILTER_SELECTIVE_EXT},
        // Order: the earlier rule wins.
        {false, "/tmp/a.tmp", FILTER_BLACK_DIR_PREFIX},
        {false, "/Photos/Raw/a.tmp", FILTER_SELECTIVE_PATH_PREFIX},
        {false, "/a:b.tmp", FILTER_BLACK_CHAR},
        {false, "/" + std::string(18, 'n') + ".tmp", FILTER_MAX_LENGTH},
        {false, "/x:y/a.txt", FILTER_BLACK_CHAR},
        {false, "/@eaDir/a.iso", FILTER_SELECTIVE_EXT},  // the name before the folders
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(filter_test_path(&filter, c.is_dir, c.path.c_str()), c.expected)
            << (c.is_dir ? "dir " : "file ") << c.path.substr(0, 80);
    }
    EXPECT_EQ(filter_test_path(&filter, 0, nullptr), FILTER_MALFORMED);
}

TEST_F(BlackListTest, SizesAndAttributes) {
    struct {
        uint64_t size;
        int expected;
    } file_sizes[] = {{0, 0},
                      {500, 0},
                      {501, FILTER_SELECTIVE_SIZE},
                      {1000, FILTER_SELECTIVE_SIZE},
                      {1001, FILTER_MAX_SIZE},
                      {UINT64_MAX, FILTER_MAX_SIZE}};
    for (const auto& c : file_sizes) EXPECT_EQ(filter_test_file_size(&filter, c.size), c.expected) << c.size;
    EXPECT_EQ(filter_test_full_path_size(&filter, 100), FILTER_PASS);
    EXPECT_EQ(filter_test_full_path_size(&filter, 101), FILTER_MAX_PATH);
    EXPECT_EQ(filter_test_ea(&filter, "COM.apple.Quarantine"), FILTER_BLACK_EA_NAME);
    EXPECT_EQ(filter_test_ea(&filter, "com.apple.quarantine2"), FILTER_PASS);
    EXPECT_EQ(filter_test_ea(&filter, nullptr), FILTER_PASS);
}

TEST(EmptyBlackListTest, ExcludesNothing) {
    Filter filter;
    filter_init(&filter);
    EXPECT_EQ(filter_test_path(&filter, 0, "/tmp/~$a.tmp"), FILTER_PASS);
    EXPECT_EQ(filter_test_path(&filter, 1, "/.git"), FILTER_PASS);
    EXPECT_EQ(filter_test_file_size(&filter, UINT64_MAX), FILTER_PASS);
    EXPECT_EQ(filter_test_full_path_size(&filter, UINT64_MAX), FILTER_PASS);
    filter_destroy(&filter);
    // A destroyed record tests like an empty one.
    EXPECT_EQ(filter_test_path(&filter, 0, "/a.tmp"), FILTER_PASS);
    EXPECT_EQ(filter_test_file_size(&filter, 1), FILTER_PASS);
}

TEST(SelectiveSizeTest, OnlySelectiveLimit) {
    TempDir dir;
    Filter filter;
    filter_init(&filter);
    ASSERT_EQ(filter_read(&filter, dir.write("f", "[File]\nmax_size_selective_sync = 50\n").c_str()), 0);
    EXPECT_EQ(filter_test_file_size(&filter, 50), FILTER_PASS);
    EXPECT_EQ(filter_test_file_size(&filter, 51), FILTER_SELECTIVE_SIZE);
    filter_destroy(&filter);
}

}  // namespace
