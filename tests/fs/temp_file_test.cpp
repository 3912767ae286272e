#include "fs/temp_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "fs/file_op.h"
#include "support/temp_dir.h"
#include "tmp_name_gen_access.h"

using tidewell::testing::TempDir;

namespace {

namespace fs = std::filesystem;

size_t CountEntries(const fs::path& dir) {
    size_t n = 0;
    for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++n;
    return n;
}

TEST(TempFileTest, CreateMakesEmptyFileThatGoesWithTheObject) {
    TempDir dir;
    std::string path;
    {
        TempFile tf(dir.path().string().c_str());
        EXPECT_TRUE(tf.getPath().empty());
        ASSERT_EQ(tf.create(), 0);
        path = tf.getPath().str();
        EXPECT_EQ(fs::path(path).parent_path(), dir.path());
        EXPECT_EQ(fs::path(path).filename().string().size(), 8u);
        ASSERT_TRUE(fs::is_regular_file(path));
        EXPECT_EQ(fs::file_size(path), 0u);
    }
    EXPECT_FALSE(fs::exists(path));
}

TEST(TempFileTest, SecondCreateFailsAndKeepsTheFirstFile) {
    TempDir dir;
    TempFile tf(dir.path().string().c_str());
    ASSERT_EQ(tf.create(), 0);
    ustring first = tf.getPath();
    EXPECT_EQ(tf.create(), -1);
    EXPECT_EQ(tf.getPath(), first);
    EXPECT_TRUE(fs::exists(first.str()));
    EXPECT_EQ(CountEntries(dir.path()), 1u);
}

TEST(TempFileTest, PermanentFileSurvives) {
    TempDir dir;
    std::string path;
    {
        TempFile tf(dir.path().string().c_str());
        ASSERT_EQ(tf.create(), 0);
        tf.convert_permanent();
        path = tf.getPath().str();
    }
    EXPECT_TRUE(fs::exists(path));
}

TEST(TempFileTest, RemoveThenDestroyRemovesNothingMore) {
    TempDir dir;
    std::string path;
    {
        TempFile tf(dir.path().string().c_str());
        ASSERT_EQ(tf.create(), 0);
        path = tf.getPath().str();
        tf.remove();
        EXPECT_TRUE(tf.getPath().empty());
        EXPECT_FALSE(fs::exists(path));
        // Something else takes the name; the destructor must leave it alone.
        dir.write(fs::path(path).filename().string(), "other");
        // And the object can make a new file.
        ASSERT_EQ(tf.create(), 0);
        EXPECT_NE(tf.getPath().str(), path);
    }
    EXPECT_EQ(TempDir::read(path), "other");
    EXPECT_EQ(CountEntries(dir.path()), 1u);
}

TEST(TempFileTest, NeverCreatedTouchesNothing) {
    TempDir dir;
    dir.write("keep", "x");
    { TempFile tf(dir.path().string().c_str()); }
    EXPECT_EQ(CountEntries(dir.path()), 1u);
}

TEST(TempFileTest, MissingDirectoryFails) {
    TempDir dir;
    TempFile tf((dir.path() / "missing").string().c_str());
    EXPECT_EQ(tf.create(), -1);
    EXPECT_TRUE(tf.getPath().empty());
}

TEST(TempFileTest, EmptyPrefixUsesDefaultDirectory) {
    TempDir dir;
    TempFile::initialize(dir.path().string().c_str());
    {
        TempFile tf("");
        ASSERT_EQ(tf.create(), 0);
        EXPECT_EQ(fs::path(tf.getPath().str()).parent_path(), dir.path());
    }
    TempFile::initialize("");
}

TEST(TempFileTest, CopiesShareTheFileUntilTheLastGoes) {
    TempDir dir;
    auto original = std::make_unique<TempFile>(dir.path().string().c_str());
    ASSERT_EQ(original->create(), 0);
    std::string path = original->getPath().str();
    TempFile copy(*original);
    TempFile assigned(dir.path().string().c_str());
    assigned = copy;
    original.reset();
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(copy.getPath().str(), path);
    EXPECT_EQ(copy.create(), -1);  // it has a file
    { TempFile gone(std::move(assigned)); }
    EXPECT_TRUE(fs::exists(path));
}

TEST(TempFileTest, LastCopyRemovesTheFile) {
    TempDir dir;
    std::string path;
    {
        TempFile a(dir.path().string().c_str());
        ASSERT_EQ(a.create(), 0);
        path = a.getPath().str();
        TempFile b(a);
        TempFile c(b);
    }
    EXPECT_FALSE(fs::exists(path));
}

// A name that is already taken is never reused: the existing file keeps its
// content and a fresh name is created instead.
TEST(FSMktempTest, TakenNameIsSkippedNotTruncated) {
    TempDir dir;
    std::string taken = TmpNameGenTestAccess::peekNextName();
    std::string taken_path = dir.write(taken, "precious");
    ustring path = "unchanged";
    ASSERT_EQ(FSMktemp(dir.path().string().c_str(), path), 0);
    EXPECT_NE(path.str(), taken_path);
    EXPECT_EQ(TempDir::read(taken_path), "precious");
    EXPECT_TRUE(fs::is_regular_file(path.str()));
    EXPECT_EQ(fs::file_size(path.str()), 0u);
}

TEST(FSMktempTest, FailureLeavesPathAlone) {
    TempDir dir;
    ustring path = "unchanged";
    EXPECT_EQ(FSMktemp((dir.path() / "missing").string().c_str(), path), -1);
    EXPECT_EQ(path, "unchanged");
}

TEST(FSCreateTempPathTest, GivesNameWithoutCreating) {
    TempDir dir;
    ustring path;
    ASSERT_EQ(FSCreateTempPath(dir.path().string().c_str(), path), 0);
    EXPECT_EQ(fs::path(path.str()).parent_path(), dir.path());
    EXPECT_FALSE(fs::exists(path.str()));
    ASSERT_EQ(FSCreateTempPath("", path), 0);
    EXPECT_EQ(path.size(), 9u);
    EXPECT_EQ(path[0], '/');
}

}  // namespace
