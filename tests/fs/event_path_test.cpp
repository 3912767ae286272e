#include "fs/event_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
    std::string path;
    bool valid_without_root;
    bool valid_with_root;
};

TEST(EventPathTest, Table) {
    const std::string long_name(1024, 'n');
    const std::string max_name(1023, 'n');
    const PathCase cases[] = {
        {"/", false, true},
        {"/a", true, true},
        {"/a/b c/d.txt", true, true},
        {"/.hidden/..dots/...", true, true},
        {"/\xc3\xa9t\xc3\xa9", true, true},
        {"", false, false},
        {"a/b", false, false},
        {"//", false, false},
        {"/a//b", false, false},
        {"/a/", false, false},
        {"/.", false, false},
        {"/..", false, false},
        {"/../../x", false, false},
        {"/a/./b", false, false},
        {"/a/../b", false, false},
        {"/a/..", false, false},
        {std::string("/a\0b", 4), false, false},
        {"/" + max_name, true, true},
        {"/" + long_name, false, false},
        {"/a/" + long_name + "/b", false, false},
    };
    for (const PathCase& c : cases) {
        // The byte form: a ustring ends at its first NUL, so wire bytes are
        // checked before they become one.
        EXPECT_EQ(EventPathProblem(c.path.data(), c.path.size(), EventPathRoot::Refuse) == nullptr,
                  c.valid_without_root)
            << c.path;
        EXPECT_EQ(EventPathProblem(c.path.data(), c.path.size(), EventPathRoot::Allow) == nullptr, c.valid_with_root)
            << c.path;
    }
}

TEST(EventPathTest, LengthLimitCountsBytes) {
    std::string path;
    while (path.size() + 11 <= kEventPathMaxBytes) path += "/abcdefghij";
    path += "/" + std::string(kEventPathMaxBytes - path.size() - 1, 'x');
    ASSERT_EQ(path.size(), kEventPathMaxBytes);
    EXPECT_TRUE(IsValidEventPath(ustring(path), EventPathRoot::Refuse));
    EXPECT_FALSE(IsValidEventPath(ustring(path + "y"), EventPathRoot::Refuse));
}

TEST(EventPathTest, ProblemNamesTheFault) {
    EXPECT_STREQ(EventPathProblem(ustring("/a/../b"), EventPathRoot::Refuse), "\".\" or \"..\" component");
    EXPECT_EQ(EventPathProblem(ustring("/a/b"), EventPathRoot::Refuse), nullptr);
    ustring u("/x/../y");
    EXPECT_FALSE(IsValidEventPath(u, EventPathRoot::Allow));
}

}  // namespace
