#include "base/config.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/temp_dir.h"

namespace {

using tidewell::testing::TempDir;

struct LineCase {
    const char* line;
    Config::LineResult result;
    const char* key;
    const char* value;
};

TEST(Config, ParseLine) {
    const LineCase cases[] = {
        {"ui_port = 2000\n", Config::OK, "ui_port", "2000"},
        {"  # a comment\n", Config::EMPTY, "", ""},
        {"\n", Config::EMPTY, "", ""},
        {"", Config::EMPTY, "", ""},
        {"key#note\n", Config::EMPTY, "", ""},
        {"key\n", Config::INVALID, "", ""},
        {"key", Config::EMPTY, "", ""},  // a last line without its line end
        {"worker_count=\n", Config::INVALID, "", ""},
        {"worker_count=", Config::INVALID, "", ""},
        {"a=1 #note\n", Config::OK, "a", "1"},
        {"a=1#note\n", Config::OK, "a", "1#note"},
        {"a = \"x y # z\"\n", Config::OK, "a", "x y # z"},
        {"a = 'x y'  # trailing\n", Config::OK, "a", "x y"},
        {"a = 'x'#c\n", Config::OK, "a", "x"},
        {"a = ''\n", Config::OK, "a", ""},
        {"a = \"\"\n", Config::OK, "a", ""},
        {"a = \"unterminated\n", Config::INVALID, "", ""},
        {"a = 'x\ty'\n", Config::INVALID, "", ""},
        {"a = 'x\"\n", Config::INVALID, "", ""},
        {"a = 'x' y\n", Config::INVALID, "", ""},
        {"a = x y\n", Config::INVALID, "", ""},
        {"a = it's\"ok\"\n", Config::OK, "a", "it's\"ok\""},
        {"a : b\n", Config::INVALID, "", ""},
        {"\t key-name_2 \t=\t v \r\n", Config::OK, "key-name_2", "v"},
        {"path = /d\xC3\xA9j\xC3\xA0/x\n", Config::OK, "path", "/d\xC3\xA9j\xC3\xA0/x"},
        {"a = b\x7f"
         "c\n",
         Config::INVALID, "", ""},
        {"= v\n", Config::OK, "", "v"},
    };
    for (const auto& c : cases) {
        ustring key;
        ustring value;
        Config::LineResult r = Config::parse_line(c.line, key, value);
        EXPECT_EQ(r, c.result) << "line: " << c.line;
        if (r == Config::OK && c.result == Config::OK) {
            EXPECT_EQ(key, c.key) << "line: " << c.line;
            EXPECT_EQ(value, c.value) << "line: " << c.line;
        }
    }
}

TEST(Config, ReadFile) {
    TempDir dir;
    Config config;
    std::string path = dir.write("conf", "ui_port = 2000\n  # comment\n\na=1\na=2\nlast=3");
    ASSERT_EQ(config.read(path), 0);
    EXPECT_EQ(config.store.size(), 3u);
    EXPECT_EQ(config.store["a"], "2");
    EXPECT_EQ(config.store["last"], "3");
    EXPECT_EQ(config.get_int("ui_port"), 2000);
}

TEST(Config, FirstInvalidLineEmptiesTheStore) {
    TempDir dir;
    Config config;
    std::string path = dir.write("conf", "a=1\nworker_count=\nb=2\n");
    EXPECT_EQ(config.read(path), -1);
    EXPECT_TRUE(config.store.empty());
}

TEST(Config, UnreadableFile) {
    Config config;
    EXPECT_EQ(config.read(""), -1);
    EXPECT_EQ(config.read("/nonexistent/tidewell/conf"), -1);
    TempDir dir;
    EXPECT_EQ(config.read(dir.path().string()), -1);  // a folder
}

TEST(Config, LongLinesAreReadInPieces) {
    TempDir dir;
    // 8191 bytes of a valid line, then its continuation read as a line of its own.
    std::string first = "k=" + std::string(8191 - 2, 'v');
    std::string path = dir.write("conf", first + "x=1\n");
    Config config;
    ASSERT_EQ(config.read(path), 0);
    EXPECT_EQ(config.store["k"].length(), 8189u);
    EXPECT_EQ(config.store["x"], "1");
}

TEST(Config, GetInt) {
    const std::pair<const char*, int> cases[] = {
        {"42", 42},
        {"  -7", -7},
        {"+5", 5},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(Config::parse_int(text), want) << text;
    Config config;
    EXPECT_EQ(config.get_int("absent"), 0);
    EXPECT_EQ(config.store.count("absent"), 1u);
}

}  // namespace
