#include "fs/file_op.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "fs/rename_fallback.h"
#include "support/temp_dir.h"

using tidewell::testing::TempDir;

namespace {

namespace fs = std::filesystem;

ustring U(const std::string& s) {
    return ustring(s);
}

void SetMtime(const std::string& path, time_t mtime, bool follow = false) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, follow ? 0 : AT_SYMLINK_NOFOLLOW), 0) << path;
}

time_t LinkMtime(const std::string& path) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mtime;
}

// --- FSStat and IsFileExist -------------------------------------------------

TEST(FSStatTest, ReportsEachKindWithoutFollowingLinks) {
    TempDir dir;
    std::string file = dir.write("file.txt", "12345");
    SetMtime(file, 1600000000);
    std::string sub = dir.file("sub");
    fs::create_directory(sub);
    dir.write("sub/inner", std::string(10000, 'x'));  // a directory's size is reported as 0
    std::string link = dir.file("link");
    ASSERT_EQ(symlink("file.txt", link.c_str()), 0);
    SetMtime(link, 1500000000);
    std::string dangling = dir.file("dangling");
    ASSERT_EQ(symlink("nowhere", dangling.c_str()), 0);
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    struct Case {
        std::string path;
        FILE_TYPE type;
        uint64_t size;
        uint32_t mtime;  // 0: not checked
    } cases[] = {
        {file, FT_FILE, 5, 1600000000},  {sub, FT_DIR, 0, 0},
        {link, FT_SLINK, 8, 1500000000},  // the link's own size ("file.txt") and time
        {dangling, FT_SLINK, 7, 0},      {fifo, FT_FIFO, 0, 0},
        {"/dev/null", FT_DEV, 0, 0},
    };
    for (const Case& c : cases) {
        FILE_INFO info;
        ASSERT_EQ(FSStat(U(c.path), info, true), 0) << c.path;
        EXPECT_TRUE(info.isExist) << c.path;
        EXPECT_EQ(info.path, U(c.path));
        EXPECT_EQ(info.type, c.type) << c.path;
        EXPECT_EQ(info.size, c.size) << c.path;
        if (c.mtime) {
            EXPECT_EQ(info.mtime, c.mtime) << c.path;
        }
    }
}

TEST(FSStatTest, SocketIsAKindOfItsOwn) {
    TempDir dir;
    std::string path = dir.file("sock");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) GTEST_SKIP() << "temporary path too long for a socket";
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    FILE_INFO info;
    EXPECT_EQ(FSStat(U(path), info, false), 0);
    EXPECT_EQ(info.type, FT_SOCK);
    close(fd);
}

TEST(FSStatTest, MissingPathsExistNot) {
    TempDir dir;
    std::string file = dir.write("file", "x");
    for (const std::string& path :
         {dir.file("missing"), file + "/below", dir.file("a/b/c"), std::string(), dir.file(std::string(300, 'n'))}) {
        FILE_INFO info;
        info.isExist = true;
        EXPECT_EQ(FSStat(U(path), info, false), 0) << path;
        EXPECT_FALSE(info.isExist) << path;
        EXPECT_FALSE(IsFileExist(U(path), true)) << path;
    }
}

// An item that cannot be looked at is not reported as missing: a caller
// would take that for a removal.
TEST(FSStatTest, UnreadableParentIsAnErrorNotAbsence) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not hold for root";
    TempDir dir;
    fs::create_directory(dir.file("closed"));
    std::string inner = dir.write("closed/f", "x");
    chmod(dir.file("closed").c_str(), 0);
    FILE_INFO info;
    EXPECT_EQ(FSStat(U(inner), info, false), -1);
    EXPECT_EQ(FSRemove(U(inner), false), -1);
    chmod(dir.file("closed").c_str(), 0700);
    EXPECT_EQ(TempDir::read(inner), "x");
}

TEST(IsFileExistTest, CaseCheckWantsTheStoredName) {
    TempDir dir;
    std::string file = dir.write("a.txt", "x");
    EXPECT_TRUE(IsFileExist(U(file), false));
    EXPECT_TRUE(IsFileExist(U(file), true));
    // This file system tells the cases apart, so another case is another name.
    EXPECT_FALSE(IsFileExist(U(dir.file("A.TXT")), true));
    EXPECT_FALSE(IsFileExist(U(dir.file("A.TXT")), false));
    // A trailing separator names no stored entry.
    EXPECT_TRUE(IsFileExist(U(dir.path().string() + "/"), false));
    EXPECT_FALSE(IsFileExist(U(dir.path().string() + "/"), true));
}

TEST(FileInfoTest, EqualityIgnoresOwner) {
    FILE_INFO a;
    a.path = "/x";
    a.type = FT_FILE;
    a.size = 3;
    a.mtime = 7;
    a.isExist = true;
    FILE_INFO b = a;
    b.uid = 1000;
    b.gid = 1000;
    EXPECT_TRUE(a == b);
    b.mtime = 8;
    EXPECT_TRUE(a != b);
    LocalFileInfo c = a;
    c.name = "x";
    EXPECT_NE(a, c);
}

// --- Directory creation -----------------------------------------------------

TEST(FSMKDirTest, CreatesWithAndWithoutParents) {
    TempDir dir;
    std::string nested = dir.file("a/b/c");
    EXPECT_EQ(FSMKDir(U(nested), false), -1);  // parents missing
    EXPECT_FALSE(fs::exists(dir.file("a")));
    EXPECT_EQ(FSMKDir(U(nested), true), 0);
    EXPECT_TRUE(fs::is_directory(nested));
    // Existing directories are fine in both modes, trailing separators and
    // doubled separators included.
    EXPECT_EQ(FSMKDir(U(nested), true), 0);
    EXPECT_EQ(FSMKDir(U(nested), false), 0);
    EXPECT_EQ(FSMKDir(U(dir.file("x//y/")), true), 0);
    EXPECT_TRUE(fs::is_directory(dir.file("x/y")));
    EXPECT_EQ(FSMKDir(U(dir.file("single")), false), 0);
    EXPECT_TRUE(fs::is_directory(dir.file("single")));
}

TEST(FSMKDirTest, NonDirectoryInTheWay) {
    TempDir dir;
    dir.write("f", "keep");
    struct Case {
        std::string path;
        bool parents;
        int expected_errno;  // 0: not checked
    } cases[] = {
        {dir.file("f"), true, EEXIST},
        {dir.file("f/g/h"), true, ENOTDIR},
        {dir.file("f"), false, 0},  // a file is not the directory asked for
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(FSMKDir(U(c.path), c.parents), -1) << c.path;
        if (c.expected_errno) {
            EXPECT_EQ(errno, c.expected_errno) << c.path;
        }
        EXPECT_EQ(TempDir::read(dir.file("f")), "keep");
    }
}

TEST(FSMKDirTest, ForceCreateReplacesFileInTheWay) {
    TempDir dir;
    dir.write("f", "x");
    EXPECT_EQ(FSMKDirP(U(dir.file("f/g")), nullptr, true, -1, -1, 0), 0);
    EXPECT_TRUE(fs::is_directory(dir.file("f/g")));
}

TEST(FSMKDirTest, FollowsLinkedParentDirectory) {
    TempDir dir;
    fs::create_directory(dir.file("real"));
    ASSERT_EQ(symlink("real", dir.file("alias").c_str()), 0);
    EXPECT_EQ(FSMKDir(U(dir.file("alias/new/deeper")), true), 0);
    EXPECT_TRUE(fs::is_directory(dir.file("real/new/deeper")));
    EXPECT_EQ(FSMKDirP(U(""), nullptr, false, -1, -1, 0), -1);
}

// --- Rename -----------------------------------------------------------------

TEST(FSRenameTest, MovesAndReplaces) {
    TempDir dir;
    std::string from = dir.write("from", "new");
    std::string to = dir.write("to", "old");
    ASSERT_EQ(FSRename(U(from), U(to), true), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(TempDir::read(to), "new");

    fs::create_directories(dir.file("d1/inner"));
    ASSERT_EQ(FSRename(U(dir.file("d1")), U(dir.file("d2")), false), 0);
    EXPECT_TRUE(fs::is_directory(dir.file("d2/inner")));
}

TEST(FSRenameTest, Failures) {
    TempDir dir;
    std::string from = dir.write("from", "x");
    std::string long_name(300, 'n');
    EXPECT_EQ(FSRename(U(dir.file("missing")), U(dir.file("to")), true), -1);
    EXPECT_EQ(FSRename(U(from), U(dir.file(long_name)), true), FS_ERR_NAME_TOO_LONG);
    EXPECT_EQ(FSRenameNoReplace(U(from), U(dir.file(long_name))), FS_ERR_NAME_TOO_LONG);
    EXPECT_EQ(FSRename(U(from), U(dir.file("missing/to")), true), -1);
    EXPECT_EQ(TempDir::read(from), "x");
}

TEST(FSRenameNoReplaceTest, NeverReplacesAnExistingEntry) {
    TempDir dir;
    std::string from = dir.write("from", "mine");
    std::string file = dir.write("file", "theirs");
    std::string sub = dir.file("sub");
    fs::create_directory(sub);
    std::string link = dir.file("link");
    ASSERT_EQ(symlink("nowhere", link.c_str()), 0);
    for (const std::string& target : {file, sub, link}) {
        EXPECT_EQ(FSRenameNoReplace(U(from), U(target)), FS_ERR_TARGET_EXISTS) << target;
        EXPECT_EQ(TempDir::read(from), "mine");
    }
    EXPECT_EQ(TempDir::read(file), "theirs");
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_TRUE(fs::is_symlink(link));

    ASSERT_EQ(FSRenameNoReplace(U(from), U(dir.file("free"))), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(TempDir::read(dir.file("free")), "mine");
    EXPECT_EQ(FSRenameNoReplace(U(dir.file("gone")), U(dir.file("free2"))), -1);
}

// The path taken where the file system lacks RENAME_NOREPLACE.
TEST(FSRenameNoReplaceTest, FallbackRefusesExistingTargets) {
    TempDir dir;
    std::string from = dir.write("from", "mine");
    std::string taken = dir.write("taken", "theirs");
    fs::create_directory(dir.file("dir"));
    errno = 0;
    EXPECT_EQ(fs_detail::RenameNoReplaceByLink(from.c_str(), taken.c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(fs_detail::RenameNoReplaceByLink(dir.file("dir").c_str(), taken.c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(TempDir::read(from), "mine");
    EXPECT_EQ(TempDir::read(taken), "theirs");

    EXPECT_EQ(fs_detail::RenameNoReplaceByLink(from.c_str(), dir.file("free").c_str()), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(TempDir::read(dir.file("free")), "mine");
    EXPECT_EQ(fs_detail::RenameNoReplaceByLink(dir.file("dir").c_str(), dir.file("dir2").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir.file("dir2")));
    EXPECT_EQ(fs_detail::RenameNoReplaceByLink(dir.file("gone").c_str(), dir.file("x").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

// /dev/shm and the temporary folder on different file systems let a rename
// cross file systems; elsewhere these tests are skipped.
class CrossDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat a, b;
        if (stat("/dev/shm", &a) != 0 || stat(dir_.path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
            GTEST_SKIP() << "/dev/shm is not a separate file system here";
        char pattern[] = "/dev/shm/tidewell-test-XXXXXX";
        if (!mkdtemp(pattern)) GTEST_SKIP() << "cannot make a folder in /dev/shm";
        other_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        if (!other_.empty()) fs::remove_all(other_, ec);
    }
    std::string Other(const std::string& name) const { return other_ + "/" + name; }

    TempDir dir_;
    std::string other_;
};

TEST_F(CrossDeviceTest, FileIsCopiedWithItsTimeAndModeAndTheOriginalRemoved) {
    std::string from = Other("file");
    int fd = open(from.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640);
    ASSERT_GE(fd, 0);
    std::string content(200000, 'c');
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    chmod(from.c_str(), 0640);
    SetMtime(from, 1400000000);
    std::string to = dir_.write("to", "old");

    ASSERT_EQ(FSRename(U(from), U(to), true), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(TempDir::read(to), content);
    EXPECT_EQ(LinkMtime(to), 1400000000);
    struct stat st;
    ASSERT_EQ(stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Nothing but the target is left in the target's folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(CrossDeviceTest, NoReplaceKeepsBothSidesOnExistingTarget) {
    std::string from = Other("file");
    { std::ofstream(from) << "mine"; }
    std::string to = dir_.write("to", "theirs");
    EXPECT_EQ(FSRenameNoReplace(U(from), U(to)), FS_ERR_TARGET_EXISTS);
    EXPECT_EQ(TempDir::read(from), "mine");
    EXPECT_EQ(TempDir::read(to), "theirs");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);

    ASSERT_EQ(FSRenameNoReplace(U(from), U(dir_.file("free"))), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(TempDir::read(dir_.file("free")), "mine");
}

TEST_F(CrossDeviceTest, LinkIsRecreatedAndDirectoryRefused) {
    std::string link = Other("link");
    ASSERT_EQ(symlink("some/target", link.c_str()), 0);
    ASSERT_EQ(FSRename(U(link), U(dir_.file("link")), true), 0);
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(dir_.file("link")).string(), "some/target");

    std::string sub = Other("sub");
    fs::create_directory(sub);
    { std::ofstream(sub + "/f") << "x"; }
    EXPECT_EQ(FSRename(U(sub), U(dir_.file("sub")), true), -1);
    EXPECT_EQ(TempDir::read(sub + "/f"), "x");
    EXPECT_FALSE(fs::exists(dir_.file("sub")));
}

// --- Removal ----------------------------------------------------------------

TEST(FSRemoveTest, RemovesFilesAndTreesWithoutFollowingLinks) {
    TempDir dir;
    TempDir outside;
    std::string precious = outside.write("precious", "keep");
    fs::create_directories(dir.file("tree/a/b"));
    dir.write("tree/a/b/f", "x");
    dir.write("tree/top", "y");
    ASSERT_EQ(symlink(outside.path().c_str(), dir.file("tree/a/to_outside").c_str()), 0);
    ASSERT_EQ(symlink(precious.c_str(), dir.file("tree/to_file").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("tree/fifo").c_str(), 0600), 0);

    EXPECT_EQ(FSRemove(U(dir.file("tree")), false), 0);
    EXPECT_FALSE(fs::exists(dir.file("tree")));
    EXPECT_EQ(TempDir::read(precious), "keep");

    std::string file = dir.write("file", "x");
    EXPECT_EQ(FSRemove(U(file), true), 0);  // no recycle bin: removed for good
    EXPECT_FALSE(fs::exists(file));
}

TEST(FSRemoveTest, MissingLinkAndEmpty) {
    TempDir dir;
    std::string target = dir.write("target", "x");
    std::string link = dir.file("link");
    ASSERT_EQ(symlink("target", link.c_str()), 0);
    EXPECT_EQ(FSRemove(U(dir.file("missing")), false), 0);
    EXPECT_EQ(FSRemove(U(link), false), -1);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(FSRemove(U(""), false), -1);
    EXPECT_EQ(TempDir::read(target), "x");
}

TEST(FSRemoveTest, UnremovableEntryFailsButTheRestGoes) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not hold for root";
    TempDir dir;
    fs::create_directories(dir.file("tree/locked"));
    dir.write("tree/locked/f", "x");
    dir.write("tree/other", "y");
    chmod(dir.file("tree/locked").c_str(), 0500);
    EXPECT_EQ(FSRemove(U(dir.file("tree")), false), -1);
    EXPECT_FALSE(fs::exists(dir.file("tree/other")));
    EXPECT_TRUE(fs::exists(dir.file("tree/locked/f")));
    chmod(dir.file("tree/locked").c_str(), 0700);
}

// --- Times and locks --------------------------------------------------------

TEST(FSUTimeTest, SetsModificationTimeOfTheItemItself) {
    TempDir dir;
    std::string file = dir.write("file", "x");
    SetMtime(file, 1000000000);
    std::string link = dir.file("link");
    ASSERT_EQ(symlink("file", link.c_str()), 0);

    EXPECT_EQ(FSUTime(U(file), 0, 1700000000), 0);
    EXPECT_EQ(LinkMtime(file), 1700000000);
    EXPECT_EQ(FSUTime(U(link), 0, 1200000000), 0);
    EXPECT_EQ(LinkMtime(link), 1200000000);
    EXPECT_EQ(LinkMtime(file), 1700000000);
    EXPECT_EQ(FSUTime(U(dir.file("missing")), 0, 1), -1);
}

TEST(IsFileLockedTest, OrdinaryAndMissingItemsAreNotLocked) {
    TempDir dir;
    std::string file = dir.write("file", "x");
    for (int flag : {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE | DELETE, DELETE}) {
        EXPECT_FALSE(isFileLocked(U(file), flag)) << flag;
        EXPECT_FALSE(isFileLocked(U(dir.file("missing")), flag)) << flag;
    }
    EXPECT_FALSE(isFileLocked(U(dir.path().string()), GENERIC_READ));
    EXPECT_EQ(TempDir::read(file), "x");  // probing for write changes nothing
}

TEST(IsFileLockedTest, NoPermissionCountsAsLocked) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not hold for root";
    TempDir dir;
    std::string file = dir.write("file", "x");
    chmod(file.c_str(), 0200);
    EXPECT_TRUE(isFileLocked(U(file), GENERIC_READ));
    EXPECT_FALSE(isFileLocked(U(file), GENERIC_WRITE));
    chmod(file.c_str(), 0600);
    fs::create_directory(dir.file("ro"));
    std::string inner = dir.write("ro/f", "x");
    chmod(dir.file("ro").c_str(), 0500);
    EXPECT_TRUE(isFileLocked(U(inner), DELETE));
    EXPECT_FALSE(isFileLocked(U(inner), GENERIC_READ));
    chmod(dir.file("ro").c_str(), 0700);
}

TEST(IsFileLockedTest, RunningProgramIsLockedForWriting) {
    TempDir dir;
    std::string prog = dir.file("sleeper");
    fs::copy_file("/bin/sleep", prog);
    chmod(prog.c_str(), 0755);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(prog.c_str(), prog.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the child runs the copy.
    std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    for (int i = 0; i < 200; ++i) {
        std::error_code ec;
        if (fs::read_symlink(exe, ec) == fs::path(prog)) break;
        usleep(10000);
    }
    int fd = open(prog.c_str(), O_WRONLY);
    bool busy = fd < 0 && errno == ETXTBSY;
    if (fd >= 0) close(fd);
    bool locked = isFileLocked(U(prog), GENERIC_WRITE);
    bool readable = !isFileLocked(U(prog), GENERIC_READ);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!busy) GTEST_SKIP() << "this kernel lets a running program be opened for writing";
    EXPECT_TRUE(locked);
    EXPECT_TRUE(readable);
}

// --- Volumes and sync folders ----------------------------------------------

TEST(IsMSDOSTest, OrdinaryFileSystemsAreNot) {
    TempDir dir;
    EXPECT_FALSE(IsMSDOS(U(dir.path().string())));
    EXPECT_FALSE(IsMSDOS(U("/dev/shm")));
    EXPECT_FALSE(IsMSDOS(U(dir.file("missing"))));
    EXPECT_FALSE(IsMSDOS(U("")));
}

TEST(IsValidSyncFolderTest, OnlyRealDirectoriesOnRealFileSystems) {
    TempDir dir;
    std::string file = dir.write("file", "x");
    fs::create_directory(dir.file("sub"));
    ASSERT_EQ(symlink("sub", dir.file("link").c_str()), 0);
    struct Case {
        std::string path;
        bool valid;
    } cases[] = {
        {dir.path().string(), true},
        {dir.file("sub"), true},
        {file, false},
        {dir.file("link"), false},
        {dir.file("missing"), false},
        {"", false},
        {"/dev/null", false},
        {"/proc", false},
        {"/proc/self", false},
        {"/sys", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsValidSyncFolder(U(c.path)), c.valid) << c.path;
}

// --- Directory listing ------------------------------------------------------

TEST(FSReadDirTest, EmptyDirectoryGivesDotsThenEnd) {
    TempDir dir;
    DIR_HANDLE dh;
    ASSERT_EQ(FSOpenDir(U(dir.path().string()), 0, dh), 0);
    std::set<std::string> names;
    DIR_ENTRY entry;
    int rc;
    while ((rc = FSReadDir(dh, entry)) == 1) {
        names.insert(entry.name.str());
        EXPECT_EQ(entry.type, FT_DIR);
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(names, (std::set<std::string>{".", ".."}));
    EXPECT_EQ(FSReadDir(dh, entry), 0);  // stays at the end
    FSCloseDir(dh);
    EXPECT_TRUE(dh.path.empty());
    EXPECT_EQ(dh.handle, nullptr);
}

TEST(FSReadDirTest, EntriesWithTypesAndOptionalStat) {
    TempDir dir;
    std::string file = dir.write("file", "hello");
    SetMtime(file, 1300000000);
    fs::create_directory(dir.file("sub"));
    dir.write("sub/x", std::string(5000, 'x'));
    ASSERT_EQ(symlink("file", dir.file("link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);

    for (int flag : {0, 1}) {
        DIR_HANDLE dh;
        FSOpenDir(U(dir.path().string()), flag, dh);
        std::map<std::string, DIR_ENTRY> seen;
        DIR_ENTRY entry;
        while (FSReadDir(dh, entry) == 1) seen[entry.name.str()] = entry;
        FSCloseDir(dh);
        ASSERT_EQ(seen.size(), 6u) << flag;
        EXPECT_EQ(seen["file"].type, FT_FILE);
        EXPECT_EQ(seen["sub"].type, FT_DIR);
        EXPECT_EQ(seen["link"].type, FT_SLINK);
        EXPECT_EQ(seen["fifo"].type, FT_FIFO);
        EXPECT_EQ(seen["file"].size, flag ? 5u : 0u);
        EXPECT_EQ(seen["file"].mtime, flag ? 1300000000u : 0u);
        EXPECT_EQ(seen["sub"].size, 0u);
        EXPECT_EQ(seen["link"].size, 0u);
        if (flag) {
            EXPECT_NE(seen["sub"].mtime, 0u);
        }
    }
}

TEST(FSReadDirTest, FailuresAndReuse) {
    TempDir dir;
    DIR_ENTRY entry;
    {
        DIR_HANDLE dh;
        FSOpenDir(U(dir.file("missing")), 0, dh);
        EXPECT_EQ(FSReadDir(dh, entry), -1);
        FSOpenDir(U(""), 0, dh);
        EXPECT_EQ(FSReadDir(dh, entry), -1);
        FSOpenDir(U(dir.write("file", "x")), 0, dh);
        EXPECT_EQ(FSReadDir(dh, entry), -1);
        // Reopened on a directory, the handle lists it; destroying it
        // mid-listing closes the listing.
        FSOpenDir(U(dir.path().string()), 0, dh);
        EXPECT_EQ(FSReadDir(dh, entry), 1);
    }
}

}  // namespace
