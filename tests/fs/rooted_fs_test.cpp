#include "fs/rooted_fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using tidewell::testing::TempDir;
namespace fs = std::filesystem;

std::string read_fd(int fd) {
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

bool write_fd(int fd, const std::string& text) {
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

// A root with a folder and a file in it, next to a folder outside it that
// links inside the root point at:
//   root/d/f            "inside"
//   root/link        -> <outside> (absolute)
//   root/up          -> ../outside (relative)
//   root/filelink    -> <outside>/victim
//   outside/victim      "outside"
class RootedFsTest : public ::testing::TestWithParam<RootedFs::Resolver> {
protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "root/d");
        fs::create_directories(dir.path() / "outside");
        root = dir.file("root");
        outside = dir.file("outside");
        dir.write("root/d/f", "inside");
        dir.write("outside/victim", "outside");
        fs::create_directory_symlink(outside, root + "/link");
        fs::create_directory_symlink("../outside", root + "/up");
        fs::create_symlink(outside + "/victim", root + "/filelink");
        ASSERT_EQ(0, rfs.Open(root));
    }

    // Everything below the outside folder: name, kind, content, time.
    std::vector<std::string> outside_state() const {
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(outside)) {
            struct stat st;
            lstat(e.path().c_str(), &st);
            std::string line = e.path().string() + " " + std::to_string(st.st_mode) + " " +
                               std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
            if (S_ISREG(st.st_mode)) line += " " + TempDir::read(e.path().string());
            out.push_back(line);
        }
        return out;
    }

    TempDir dir;
    std::string root;
    std::string outside;
    RootedFs rfs{GetParam()};
};

TEST_P(RootedFsTest, OperationsBelowTheRoot) {
    EXPECT_EQ(rfs.Root(), root);
    ASSERT_EQ(0, rfs.MakeDirectories("/a/b/c"));
    EXPECT_TRUE(fs::is_directory(root + "/a/b/c"));
    EXPECT_EQ(0, rfs.MakeDirectories("/a/b"));  // there already
    EXPECT_EQ(0, rfs.MakeDirectories("/"));

    int fd = rfs.CreateFile("/a/b/new.txt");
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(write_fd(fd, "hello"));
    EXPECT_EQ(TempDir::read(root + "/a/b/new.txt"), "hello");
    EXPECT_EQ(-1, rfs.CreateFile("/a/b/new.txt"));
    EXPECT_EQ(errno, EEXIST);

    fd = rfs.OpenForWrite("/a/b/new.txt", false);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(write_fd(fd, "J"));
    EXPECT_EQ(TempDir::read(root + "/a/b/new.txt"), "Jello");
    fd = rfs.OpenForWrite("/a/b/new.txt", true);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(write_fd(fd, "bye"));
    fd = rfs.OpenForRead("/a/b/new.txt");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_fd(fd), "bye");
    fd = rfs.OpenForWrite("/a/fresh", false);  // created
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(fs::is_regular_file(root + "/a/fresh"));

    FILE_INFO info;
    ASSERT_EQ(0, rfs.Lstat("/a/b/new.txt", info));
    EXPECT_TRUE(info.isExist);
    EXPECT_EQ(info.type, FT_FILE);
    EXPECT_EQ(info.size, 3u);
    EXPECT_EQ(info.path, "/a/b/new.txt");
    ASSERT_EQ(0, rfs.Lstat("/", info));
    EXPECT_EQ(info.type, FT_DIR);
    FILE_INFO missing;
    for (const char* p : {"/nothing", "/nothing/below", "/d/f/below"}) {
        SCOPED_TRACE(p);
        missing.isExist = true;
        ASSERT_EQ(0, rfs.Lstat(p, missing));
        EXPECT_FALSE(missing.isExist);
    }

    ASSERT_EQ(0, rfs.SetModificationTime("/a/b/new.txt", 1234567890));
    ASSERT_EQ(0, rfs.Lstat("/a/b/new.txt", info));
    EXPECT_EQ(info.mtime, 1234567890u);
    ASSERT_EQ(0, rfs.SetModificationTime("/", 1111111111));
    ASSERT_EQ(0, rfs.Lstat("/", info));
    EXPECT_EQ(info.mtime, 1111111111u);

    // Rename replaces; the no-replace form keeps both sides of a clash.
    ASSERT_EQ(0, rfs.Rename("/a/b/new.txt", "/d/f"));
    EXPECT_EQ(TempDir::read(root + "/d/f"), "bye");
    EXPECT_FALSE(fs::exists(root + "/a/b/new.txt"));
    EXPECT_EQ(FS_ERR_TARGET_EXISTS, rfs.RenameNoReplace("/a/fresh", "/d/f"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(TempDir::read(root + "/d/f"), "bye");
    EXPECT_TRUE(fs::exists(root + "/a/fresh"));
    ASSERT_EQ(0, rfs.RenameNoReplace("/a/fresh", "/d/g"));
    ASSERT_EQ(0, rfs.RenameNoReplace("/a/b", "/d/moved"));
    EXPECT_TRUE(fs::is_directory(root + "/d/moved/c"));

    // A tree goes with everything in it; a link inside goes itself.
    fs::create_directory_symlink(outside, root + "/d/moved/c/escape");
    ASSERT_EQ(0, rfs.Remove("/d"));
    EXPECT_FALSE(fs::exists(root + "/d"));
    EXPECT_EQ(TempDir::read(outside + "/victim"), "outside");
    EXPECT_EQ(0, rfs.Remove("/d"));  // nothing there
    EXPECT_EQ(0, rfs.Remove("/d/below"));
    ASSERT_EQ(0, rfs.Remove("/a"));
    EXPECT_TRUE(fs::is_symlink(root + "/link"));
}

TEST_P(RootedFsTest, ALinkInTheWayIsAnErrorAndNothingOutsideChanges) {
    const std::vector<std::string> before = outside_state();
    struct Case {
        const char* name;
        std::function<int()> op;
    };
    // Through an absolute link, a relative one, and a link below a real folder.
    for (const std::string via : {"/link", "/up"}) {
        SCOPED_TRACE(via);
        const ustring victim = via + "/victim";
        const ustring fresh = via + "/fresh";
        const Case cases[] = {
            {"CreateFile", [&] { return rfs.CreateFile(fresh); }},
            {"OpenForWrite existing", [&] { return rfs.OpenForWrite(victim, true); }},
            {"OpenForWrite new", [&] { return rfs.OpenForWrite(fresh, false); }},
            {"OpenForRead", [&] { return rfs.OpenForRead(victim); }},
            {"MakeDirectories", [&] { return rfs.MakeDirectories(via + "/x/y"); }},
            {"Rename into", [&] { return rfs.Rename("/d/f", via + "/f"); }},
            {"Rename out of", [&] { return rfs.Rename(victim, "/d/stolen"); }},
            {"Rename onto", [&] { return rfs.Rename("/d/f", victim); }},
            {"RenameNoReplace into", [&] { return rfs.RenameNoReplace("/d/f", via + "/f"); }},
            {"RenameNoReplace out of", [&] { return rfs.RenameNoReplace(victim, "/d/stolen"); }},
            {"Remove", [&] { return rfs.Remove(victim); }},
            {"Remove below", [&] { return rfs.Remove(via + "/sub/x"); }},
            {"SetModificationTime", [&] { return rfs.SetModificationTime(victim, 1000); }},
            {"Lstat", [&] {
                 FILE_INFO info;
                 return rfs.Lstat(victim, info);
             }},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            errno = 0;
            int rc = c.op();
            if (rc >= 0 && rc != 0) close(rc);
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errno, ELOOP);
        }
    }
    EXPECT_EQ(outside_state(), before);
    EXPECT_EQ(TempDir::read(root + "/d/f"), "inside");
    EXPECT_FALSE(fs::exists(root + "/d/stolen"));
}

TEST_P(RootedFsTest, ALinkAsTheItemIsTheLinkItself) {
    const std::vector<std::string> before = outside_state();
    FILE_INFO info;
    ASSERT_EQ(0, rfs.Lstat("/filelink", info));
    EXPECT_EQ(info.type, FT_SLINK);
    ASSERT_EQ(0, rfs.Lstat("/link", info));
    EXPECT_EQ(info.type, FT_SLINK);

    for (const char* op : {"OpenForWrite", "OpenForRead", "Remove", "SetModificationTime"}) {
        SCOPED_TRACE(op);
        errno = 0;
        int rc = std::string(op) == "OpenForWrite" ? rfs.OpenForWrite("/filelink", true)
                 : std::string(op) == "OpenForRead" ? rfs.OpenForRead("/filelink")
                 : std::string(op) == "Remove"      ? rfs.Remove("/link")
                                                    : rfs.SetModificationTime("/filelink", 1000);
        if (rc > 0) close(rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(errno, ELOOP);
    }
    EXPECT_EQ(-1, rfs.CreateFile("/filelink"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(-1, rfs.MakeDirectories("/link"));
    EXPECT_EQ(errno, ELOOP);

    // Renaming moves the link, and replacing a link replaces the link.
    ASSERT_EQ(0, rfs.Rename("/filelink", "/moved"));
    EXPECT_TRUE(fs::is_symlink(root + "/moved"));
    ASSERT_EQ(0, rfs.Rename("/d/f", "/moved"));
    EXPECT_FALSE(fs::is_symlink(root + "/moved"));
    EXPECT_EQ(TempDir::read(root + "/moved"), "inside");
    EXPECT_EQ(outside_state(), before);
}

TEST_P(RootedFsTest, PathsThatAreNotEventPathsAreRefused) {
    const std::vector<std::string> before = outside_state();
    for (const char* path : {"", "d/f", "/d/", "//d", "/./d", "/d/.", "/d/..", "/..", "/../outside/victim",
                             "/d/../../outside/victim", "/d//f"}) {
        SCOPED_TRACE(path);
        FILE_INFO info;
        int rcs[] = {
            rfs.Lstat(path, info),       rfs.CreateFile(path),        rfs.OpenForWrite(path, false),
            rfs.OpenForRead(path),       rfs.MakeDirectories(path),   rfs.Rename("/d/f", path),
            rfs.Rename(path, "/d/g"),    rfs.RenameNoReplace("/d/f", path),
            rfs.Remove(path),            rfs.SetModificationTime(path, 1000),
        };
        for (int rc : rcs) EXPECT_EQ(rc, -1);
        errno = 0;
        EXPECT_EQ(rfs.Remove(path), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    // The root is no item to create, open, rename or remove.
    for (int rc : {rfs.CreateFile("/"), rfs.OpenForRead("/"), rfs.Rename("/", "/x"), rfs.Remove("/")}) {
        EXPECT_EQ(rc, -1);
    }
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_EQ(TempDir::read(root + "/d/f"), "inside");
    EXPECT_EQ(outside_state(), before);
}

TEST_P(RootedFsTest, WhatIsInTheWayIsNeverReplaced) {
    dir.write("root/file", "data");
    ASSERT_EQ(0, mkfifo((root + "/fifo").c_str(), 0600));
    struct Case {
        const char* path;
        int err;
    } mkdir_cases[] = {{"/file", EEXIST}, {"/file/sub", ENOTDIR}, {"/d/f/sub/deeper", ENOTDIR}};
    for (const Case& c : mkdir_cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(-1, rfs.MakeDirectories(c.path));
        EXPECT_EQ(errno, c.err);
    }
    EXPECT_EQ(TempDir::read(root + "/file"), "data");

    // Opens take regular files only, and never wait on a FIFO.
    for (const char* path : {"/fifo", "/d"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(-1, rfs.OpenForWrite(path, true));
        EXPECT_EQ(-1, rfs.OpenForRead(path));
    }
    EXPECT_EQ(-1, rfs.Remove("/fifo"));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(fs::exists(root + "/fifo"));
}

TEST_P(RootedFsTest, WithoutARootEveryOperationFails) {
    RootedFs none(GetParam());
    FILE_INFO info;
    EXPECT_FALSE(none.IsOpen());
    EXPECT_EQ(-1, none.Open(dir.file("missing")));
    EXPECT_EQ(-1, none.Open(root + "/d/f"));  // not a directory
    EXPECT_EQ(none.Root(), "");
    for (int rc : {none.Lstat("/d", info), none.CreateFile("/x"), none.MakeDirectories("/x"),
                   none.Rename("/d/f", "/x"), none.Remove("/d"), none.SetModificationTime("/", 1)}) {
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(-1, none.OpenForRead("/d/f"));
    EXPECT_EQ(errno, EBADF);
    rfs.Close();
    EXPECT_FALSE(rfs.IsOpen());
    EXPECT_EQ(-1, rfs.OpenForRead("/d/f"));
}

INSTANTIATE_TEST_SUITE_P(Resolvers, RootedFsTest,
                         ::testing::Values(RootedFs::Resolver::Auto, RootedFs::Resolver::ComponentWalk),
                         [](const auto& info) {
                             return info.param == RootedFs::Resolver::Auto ? "Openat2" : "ComponentWalk";
                         });

}  // namespace
