#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/force_hash_check_list.h"
#include "filter/white_list.h"
#include "record_text.h"
#include "support/temp_dir.h"

using filter_testing::record_text;
using tidewell::testing::TempDir;

namespace {

WhiteList white_of(const std::vector<const char*>& entries) {
    WhiteList w;
    white_list_init(&w);
    for (const char* e : entries) vt_string_set_insert(&w.file.white_ext, e);
    return w;
}

ForceHashCheckList force_of(const std::vector<const char*>& entries) {
    ForceHashCheckList l;
    force_hash_check_list_init(&l);
    for (const char* e : entries) vt_string_set_insert(&l.file.force_hash_ext, e);
    return l;
}

struct ListCase {
    std::vector<const char*> entries;
    const char* name;
    int white;
    int force;
};

TEST(ExtensionListsTest, TestNamesByExtension) {
    const ListCase cases[] = {
        {{"txt"}, "a.txt", 0, 1},      {{"txt"}, "A.TXT", 0, 1}, {{"TXT"}, "a.txt", 0, 1},
        {{"txt"}, "a", -1, 0},         {{"txt"}, ".txt", -1, 0},  // a leading dot is no extension
        {{"txt"}, "a.txt.bak", -1, 0}, {{"txt"}, "a.", -1, 0},   {{"txt"}, "", -1, -1},
        {{"txt"}, nullptr, -1, -1},    {{"*"}, "a", 0, 1},       {{"psd", "*"}, ".profile", 0, 1},
        {{"*"}, "", -1, -1},           {{}, "a.txt", -1, 0},
    };
    for (const ListCase& c : cases) {
        WhiteList w = white_of(c.entries);
        ForceHashCheckList f = force_of(c.entries);
        const char* shown = c.name ? c.name : "(null)";
        EXPECT_EQ(white_list_test(&w, c.name), c.white) << shown;
        EXPECT_EQ(force_hash_extension_test(&f, c.name), c.force) << shown;
        white_list_destroy(&w);
        force_hash_check_list_destroy(&f);
    }
}

TEST(ExtensionListsTest, ReadFiles) {
    struct {
        std::string text;
        int result;
        std::string white;
        std::string force;
    } cases[] = {
        {"[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"txt\", \"doc\"\nforce_hash_ext = \"psd\"\n", -1,
         "v0.0", "v0.0"},
        {"[Version]\nmajor = 1\nminor = 1\n[File]\nwhite_ext = \"txt\", \"doc\"\nforce_hash_ext = \"psd\"\n", 0,
         "v1.1 white_ext=[txt|doc]", "v1.1 force_hash_ext=[psd]"},
        {"[File]\nwhite_ext = \"*\"\n", 0, "v0.0 white_ext=[*]", "v0.0"},
        {"[Common]\n", -1, "v0.0", "v0.0"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::string path = dir.write("list.filter", c.text);
        WhiteList w;
        white_list_init(&w);
        ForceHashCheckList f;
        force_hash_check_list_init(&f);
        int w_rc = white_list_read(&w, path.c_str());
        int f_rc = force_hash_check_list_read(&f, path.c_str());
        // The white list file knows no force_hash_ext key and the other way
        // round, so a 1.0 file holding both is refused by both readers.
        if (c.text.find("[File]\nwhite_ext = \"*\"") != std::string::npos) {
            EXPECT_EQ(w_rc, 0);
            EXPECT_EQ(f_rc, -1);
        } else {
            EXPECT_EQ(w_rc, c.result) << c.text;
            EXPECT_EQ(f_rc, c.result) << c.text;
        }
        EXPECT_EQ(record_text(w), c.white);
        EXPECT_EQ(record_text(f), c.force);
        white_list_destroy(&w);
        force_hash_check_list_destroy(&f);
    }
}

TEST(ValueTypeTest, StringSetKeepsOrderGrowsAndRemoves) {
    value_type_string_set ss;
    ASSERT_EQ(vt_string_set_init(&ss, 0), 0);
    EXPECT_EQ(ss.capacity, 4u);
    for (const char* e : {"a", "b", "c", "d", "e", "b"}) ASSERT_EQ(vt_string_set_insert(&ss, e), 0);
    EXPECT_EQ(ss.used, 6u);
    EXPECT_EQ(ss.capacity, 8u);
    EXPECT_EQ(vt_string_set_remove(&ss, "B"), 0);  // exact comparison: nothing removed
    EXPECT_EQ(ss.used, 6u);
    EXPECT_EQ(vt_string_set_remove(&ss, "b"), 0);  // the first "b", replaced by the last entry
    ASSERT_EQ(ss.used, 5u);
    EXPECT_STREQ(ss.set[1], "b");
    EXPECT_STREQ(ss.set[4], "e");

    value_type_string_set copy;
    vt_string_set_init(&copy, 2);
    ASSERT_EQ(vt_string_set_copy(&copy, &ss), 0);
    ASSERT_EQ(copy.used, 5u);
    EXPECT_NE(copy.set[0], ss.set[0]);
    EXPECT_STREQ(copy.set[0], "a");

    vt_string_set_destroy(&ss);
    EXPECT_EQ(ss.used, 0u);
    EXPECT_EQ(ss.capacity, 0u);
    // A destroyed set takes entries again.
    ASSERT_EQ(vt_string_set_insert(&ss, "z"), 0);
    EXPECT_STREQ(ss.set[0], "z");
    vt_string_set_destroy(&ss);
    vt_string_set_destroy(&copy);

    value_type_string s, t;
    vt_string_init(&s);
    vt_string_init(&t);
    ASSERT_EQ(vt_string_assign(&s, "x"), 0);
    ASSERT_EQ(vt_string_copy(&t, &s), 0);
    EXPECT_STREQ(t.str, "x");
    vt_string_destroy(&s);
    ASSERT_EQ(vt_string_copy(&t, &s), 0);
    EXPECT_EQ(t.str, nullptr);
}

}  // namespace
