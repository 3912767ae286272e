#include "event/file_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event/string_buffer.h"

namespace {

std::vector<std::string> Walk(const FileList& list) {
    std::vector<std::string> out;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        out.push_back((it->is_dir() ? "D " : "F ") + it->path.str());
    }
    return out;
}

TEST(StringBufferTest, InternsEachStringOnce) {
    StringBuffer buf;
    EXPECT_EQ(buf.chunks_used(), 1);
    EXPECT_EQ(buf.chunk_at(0).capacity, 512u);
    StringBuffer::String a, b, c;
    ASSERT_EQ(buf.insert("alpha", a), 0);
    ASSERT_EQ(buf.insert("beta", b), 0);
    ASSERT_EQ(buf.insert("alpha", c), 0);
    EXPECT_EQ(a.c_str(), c.c_str());
    EXPECT_NE(a.c_str(), b.c_str());
    EXPECT_STREQ(b.c_str(), "beta");
    EXPECT_EQ(buf.count(), 2u);
    EXPECT_EQ(buf.chunk_at(0).offset, 11u);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b > a);
    EXPECT_EQ(buf.insert(nullptr, a), -1);
}

TEST(StringBufferTest, GrowsByDoublingAndFillsEarlierChunksFirst) {
    StringBuffer buf;
    StringBuffer::String s;
    std::string big(599, 'x');  // 600 bytes with the terminator: no room in chunk 0
    ASSERT_EQ(buf.insert(big.c_str(), s), 0);
    ASSERT_EQ(buf.chunks_used(), 2);
    EXPECT_EQ(buf.chunk_at(1).capacity, 1200u);  // twice max(512, 600)
    EXPECT_EQ(buf.chunk_at(1).offset, 600u);
    ASSERT_EQ(buf.insert("small", s), 0);  // still fits in chunk 0
    EXPECT_EQ(buf.chunk_at(0).offset, 6u);
    EXPECT_EQ(buf.chunks_used(), 2);
    // Strings stay valid while the buffer grows.
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(buf.insert(("name-" + std::to_string(i)).c_str(), s), 0);
    ASSERT_EQ(buf.insert("name-7", s), 0);
    EXPECT_STREQ(s.c_str(), "name-7");
}

TEST(FileListTest, AddByPathCreatesDirectoriesAndRefusesTakenNames) {
    StringBuffer buf;
    FileList list(buf);
    EXPECT_EQ(list.AddFile("/a/b.txt", 10, 5, ""), 0);
    ASSERT_EQ(list.GetDirCount(), 2);
    EXPECT_STREQ(list.GetDirNode(1)->name.c_str(), "a");
    EXPECT_EQ(list.GetDirNode(1)->parent, list.GetRoot());
    EXPECT_EQ(list.AddFile("/a/b.txt", 10, 5, ""), -1);
    EXPECT_EQ(list.AddDirectory("/a/b.txt", 10, ""), -1);
    EXPECT_EQ(list.AddFile("/a/b.txt/c", 10, 5, ""), -1);  // a component that is a file
    EXPECT_EQ(list.AddDirectory("/a", 1, ""), -1);
    EXPECT_EQ(list.AddFile("/a", 1, 1, ""), -1);
    EXPECT_EQ(list.AddDirectory("//a//d", 3, "acl"), 2);  // repeated "/" skipped
    EXPECT_EQ(list.AddFile(2, "e", 4, 4, ""), 0);
    EXPECT_EQ(list.GetDirNode(2)->file.size(), 1u);
}

TEST(FileListTest, RefusesBadPathsAndNames) {
    StringBuffer buf;
    FileList list(buf);
    std::string long_name(1024, 'n');
    std::string long_path = "/" + std::string(4095, 'p');
    struct Case {
        const char* what;
        int result;
    } cases[] = {
        {"trailing slash", list.AddFile("/a/", 1, 1, "")},
        {"root", list.AddDirectory("/", 1, "")},
        {"empty path", list.AddFile("", 1, 1, "")},
        {"null path", list.AddFile(static_cast<const char*>(nullptr), 1, 1, "")},
        {"long name", list.AddFile(("/" + long_name).c_str(), 1, 1, "")},
        {"long dir component", list.AddFile(("/" + long_name + "/x").c_str(), 1, 1, "")},
        {"long path", list.AddFile(long_path.c_str(), 1, 1, "")},
        {"negative id", list.AddFile(-1, "x", 1, 1, "")},
        {"id out of range", list.AddDirectory(7, "x", 1, "")},
        {"empty name", list.AddFile(0, "", 1, 1, "")},
        {"name with slash", list.AddDirectory(0, "a/b", 1, "")},
        {"long name by id", list.AddFile(0, long_name.c_str(), 1, 1, "")},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, -1) << c.what;
    EXPECT_TRUE(Walk(list).empty());
    EXPECT_EQ(list.GetDirCount(), 1);
    // The limits themselves are accepted.
    EXPECT_EQ(list.AddFile(("/" + std::string(1023, 'n')).c_str(), 1, 1, ""), 0);
}

TEST(FileListTest, IteratesInReverseNameOrderContentsBeforeDirectory) {
    StringBuffer buf;
    FileList list(buf);
    ASSERT_EQ(list.AddDirectory("/a", 1, ""), 1);
    ASSERT_EQ(list.AddFile("/a/x.txt", 2, 3, "h"), 0);
    ASSERT_EQ(list.AddFile("/b.txt", 4, 5, ""), 0);
    EXPECT_EQ(Walk(list), (std::vector<std::string>{"F /b.txt", "F /a/x.txt", "D /a"}));

    auto it = list.rbegin();
    EXPECT_EQ(it->attr, (FileList::Attribute{4, 5, ""}));
    ++it;
    EXPECT_EQ(it->attr, (FileList::Attribute{2, 3, "h"}));
    ++it;
    EXPECT_EQ(it->attr, (FileList::Attribute{1, 0, ""}));
    ++it;
    EXPECT_TRUE(it == list.rend());
    ++it;  // stepping past the end stays at the end
    EXPECT_TRUE(it == list.rend());
}

TEST(FileListTest, FilesAndDirectoriesInterleaveByName) {
    StringBuffer buf;
    FileList list(buf);
    for (const char* f : {"/m", "/c", "/k/z", "/k/a", "/k/q/r", "/z/y/x"}) ASSERT_EQ(list.AddFile(f, 0, 0, ""), 0) << f;
    ASSERT_GE(list.AddDirectory("/d", 0, ""), 0);
    ASSERT_GE(list.AddDirectory("/k/b", 0, ""), 0);
    EXPECT_EQ(Walk(list), (std::vector<std::string>{"F /z/y/x", "D /z/y", "D /z", "F /m", "F /k/z", "F /k/q/r",
                                                    "D /k/q", "D /k/b", "F /k/a", "D /k", "D /d", "F /c"}));
}

TEST(FileListTest, EmptyListYieldsNothing) {
    StringBuffer buf;
    FileList list(buf);
    EXPECT_TRUE(list.rbegin() == list.rend());
    EXPECT_TRUE(Walk(list).empty());
}

TEST(FileListTest, ListsOnOneBufferShareNames) {
    StringBuffer buf;
    FileList a(buf), b(buf);
    ASSERT_EQ(a.AddFile("/dir/same.txt", 1, 1, ""), 0);
    const size_t after_first = buf.count();
    ASSERT_EQ(b.AddFile("/dir/same.txt", 2, 2, ""), 0);
    EXPECT_EQ(buf.count(), after_first);
    EXPECT_EQ(a.GetDirNode(1)->name.c_str(), b.GetDirNode(1)->name.c_str());
    EXPECT_EQ(a.GetDirNode(1)->file.begin()->name.c_str(), b.GetDirNode(1)->file.begin()->name.c_str());
}

TEST(FileListTest, RelativePathsWithoutLeadingSlash) {
    StringBuffer buf;
    FileList list(buf);
    ASSERT_EQ(list.AddFile("a/b", 0, 0, ""), 0);
    ASSERT_EQ(list.AddFile("/a/c", 0, 0, ""), 0);
    EXPECT_EQ(Walk(list), (std::vector<std::string>{"F /a/c", "F /a/b", "D /a"}));
}

}  // namespace
