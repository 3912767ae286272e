#include "store/file_status_db.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "sqlite_test_util.h"
#include "support/temp_dir.h"

using tidewell::testing::RawDb;
using tidewell::testing::TempDir;

namespace {

FileStatusInfo entry(const std::string& path, int status, int type = 0) {
    FileStatusInfo info;
    info.path = path;
    info.syncStatus = status;
    info.fileType = type;
    return info;
}

class FileStatusDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        db_path = dir.file("file-status.sqlite");
        ASSERT_EQ(0, FileStatusDB::initialize(db_path));
    }
    void TearDown() override { FileStatusDB::destroy(); }

    void put(std::initializer_list<std::string> paths, int status = FSTAT_SYNCING) {
        for (const auto& p : paths) ASSERT_EQ(0, FileStatusDB::setFileSyncStat(entry(p, status)));
    }
    std::vector<std::string> paths() const { return RawDb(db_path).rows("SELECT path FROM fstatinfo ORDER BY path"); }

    TempDir dir;
    std::string db_path;
};

TEST(FileStatusDBShapeTest, ThereAreNoObjectsThatCouldEachNameAFile) {
    // One database per process, named by initialize(): an object of the
    // class would look like a database of its own while moving every thread
    // of the process to its file.
    EXPECT_FALSE(std::is_default_constructible_v<FileStatusDB>);
    EXPECT_FALSE((std::is_constructible_v<FileStatusDB, const ustring&>));
    EXPECT_FALSE((std::is_constructible_v<FileStatusDB, const char*>));
}

TEST_F(FileStatusDBTest, SchemaIsTheOneOtherProgramsRead) {
    RawDb raw(db_path);
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name = 'fstatinfo'"),
              "CREATE TABLE fstatinfo (id INTEGER PRIMARY KEY AUTOINCREMENT, path text unique NOT NULL, "
              "fileType integer NOT NULL, syncStatus integer NOT NULL)");
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name = 'fstatinfo_path_idx'"),
              "CREATE INDEX fstatinfo_path_idx on fstatinfo(path)");
    EXPECT_EQ(raw.rows("SELECT cid, name FROM pragma_table_info('fstatinfo')"),
              (std::vector<std::string>{"0|id", "1|path", "2|fileType", "3|syncStatus"}));
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "wal");
    // Opening an existing database again keeps it as it is.
    put({"/s/a"});
    ASSERT_EQ(0, FileStatusDB::initialize(db_path));
    EXPECT_EQ(paths(), std::vector<std::string>{"/s/a"});
}

TEST_F(FileStatusDBTest, SettingAPathAgainReplacesItsEntryUnderANewId) {
    put({"/s/a"}, FSTAT_SYNCING);
    RawDb raw(db_path);
    std::string first_id = raw.value("SELECT id FROM fstatinfo");
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(entry("/s/a", FSTAT_READ_ONLY, 1)));
    EXPECT_EQ(raw.rows("SELECT path, fileType, syncStatus FROM fstatinfo"), std::vector<std::string>{"/s/a|1|4"});
    EXPECT_NE(raw.value("SELECT id FROM fstatinfo"), first_id);
}

TEST_F(FileStatusDBTest, RmFileStatByPathRemovesOnlyTheExactPath) {
    put({"/s/a", "/s/a/b", "/s/A", "/s/ab"});
    EXPECT_EQ(0, FileStatusDB::rmFileStatByPath("/s/a"));
    EXPECT_EQ(paths(), (std::vector<std::string>{"/s/A", "/s/a/b", "/s/ab"}));
    EXPECT_EQ(0, FileStatusDB::rmFileStatByPath("/s/nothing"));
}

struct SubtreeCase {
    const char* removed;
    std::vector<std::string> left;
};

TEST_F(FileStatusDBTest, RmFileSyncStatRemovesThePathAndEverythingBelowIt) {
    // Wildcard characters and letter case in the removed path are literal.
    const std::vector<std::string> all = {"/s/%",  "/s/%/f", "/s/A/b",   "/s/[a]", "/s/[a]/f", "/s/_",   "/s/a",
                                          "/s/a*", "/s/a/b", "/s/a/b/c", "/s/a0",  "/s/ab",    "/s/x/f", "/s/a\\b"};
    const std::vector<SubtreeCase> cases = {
        {"/s/a",
         {"/s/%", "/s/%/f", "/s/A/b", "/s/[a]", "/s/[a]/f", "/s/_", "/s/a*", "/s/a0", "/s/a\\b", "/s/ab", "/s/x/f"}},
        {"/s/[a]",
         {"/s/%", "/s/%/f", "/s/A/b", "/s/_", "/s/a", "/s/a*", "/s/a/b", "/s/a/b/c", "/s/a0", "/s/a\\b", "/s/ab",
          "/s/x/f"}},
        {"/s/a*",
         {"/s/%", "/s/%/f", "/s/A/b", "/s/[a]", "/s/[a]/f", "/s/_", "/s/a", "/s/a/b", "/s/a/b/c", "/s/a0", "/s/a\\b",
          "/s/ab", "/s/x/f"}},
        {"/s/%",
         {"/s/A/b", "/s/[a]", "/s/[a]/f", "/s/_", "/s/a", "/s/a*", "/s/a/b", "/s/a/b/c", "/s/a0", "/s/a\\b", "/s/ab",
          "/s/x/f"}},
        {"/s/_",
         {"/s/%", "/s/%/f", "/s/A/b", "/s/[a]", "/s/[a]/f", "/s/a", "/s/a*", "/s/a/b", "/s/a/b/c", "/s/a0", "/s/a\\b",
          "/s/ab", "/s/x/f"}},
        {"/s/A",
         {"/s/%", "/s/%/f", "/s/[a]", "/s/[a]/f", "/s/_", "/s/a", "/s/a*", "/s/a/b", "/s/a/b/c", "/s/a0", "/s/a\\b",
          "/s/ab", "/s/x/f"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.removed);
        ASSERT_EQ(0, RawDb(db_path).exec("DELETE FROM fstatinfo"));
        for (const auto& p : all) put({p});
        EXPECT_EQ(0, FileStatusDB::rmFileSyncStat(entry(c.removed, 0)));
        auto expected = c.left;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(paths(), expected);
    }
    EXPECT_NE(0, FileStatusDB::rmFileSyncStat(entry("", 0)));
    EXPECT_EQ(paths().size(), all.size() - 1);
}

TEST_F(FileStatusDBTest, GetFileSyncStatFindsOnlyTheLiteralPath) {
    put({"/s/it's_50%_off", "/s/a_b"});
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(entry("/s/Dir", FSTAT_READ_ONLY, 1)));
    FileStatusInfo out;
    EXPECT_EQ(1, FileStatusDB::getFileSyncStat("/s/it's_50%_off", &out));
    EXPECT_EQ(out.path, "/s/it's_50%_off");
    EXPECT_EQ(out.syncStatus, FSTAT_SYNCING);
    EXPECT_EQ(1, FileStatusDB::getFileSyncStat("/s/Dir", &out));
    EXPECT_EQ(out.fileType, 1);
    EXPECT_EQ(out.syncStatus, FSTAT_READ_ONLY);

    for (const char* absent : {"/s/aXb", "/s/a%", "/s/dir", "/s/DIR", "/s/it's%"}) {
        SCOPED_TRACE(absent);
        out = entry("junk", 9, 9);
        EXPECT_EQ(0, FileStatusDB::getFileSyncStat(absent, &out));
        EXPECT_EQ(out.path, "");
        EXPECT_EQ(out.syncStatus, 0);
    }
    EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("", &out));
    EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("/s/a_b", nullptr));
}

TEST_F(FileStatusDBTest, GetFileSyncStatsListsDirectChildrenPageByPage) {
    put({"/s", "/s/a", "/s/b", "/s/b/deep", "/s/c", "/s_x", "/s%/y", "/S/z", "/sx/y"});
    int size = -1;
    std::unique_ptr<FileStatusInfo[]> all(FileStatusDB::getFileSyncStats("/s", 0, -1, size));
    ASSERT_EQ(size, 3);
    EXPECT_EQ(all[0].path, "/s/a");
    EXPECT_EQ(all[1].path, "/s/b");
    EXPECT_EQ(all[2].path, "/s/c");

    std::unique_ptr<FileStatusInfo[]> page(FileStatusDB::getFileSyncStats("/s", 1, 1, size));
    ASSERT_EQ(size, 1);
    EXPECT_EQ(page[0].path, "/s/b");

    std::unique_ptr<FileStatusInfo[]> root(FileStatusDB::getFileSyncStats("/", 0, 10, size));
    ASSERT_EQ(size, 2);
    EXPECT_EQ(root[0].path, "/s");
    EXPECT_EQ(root[1].path, "/s_x");

    EXPECT_EQ(nullptr, FileStatusDB::getFileSyncStats("/s%", 5, 10, size));
    EXPECT_EQ(size, 0);
    EXPECT_EQ(nullptr, FileStatusDB::getFileSyncStats("/none", 0, 10, size));
    EXPECT_EQ(size, 0);
    size = 42;
    EXPECT_EQ(nullptr, FileStatusDB::getFileSyncStats("", 0, 10, size));
    EXPECT_EQ(size, 42);
}

TEST_F(FileStatusDBTest, SyncingQueriesLookOnlyBelowTheFolder) {
    EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
    put({"/s/a"}, FSTAT_READ_ONLY);
    put({"/s/ab/f", "/s/A/f"}, FSTAT_SYNCING);
    EXPECT_TRUE(FileStatusDB::isAnyFileSyncing());
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/s/a"));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/s/_"));
    EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("/s/ab"));
    EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("/s"));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(""));

    EXPECT_EQ(0, FileStatusDB::updateAllSyncingEntry());
    EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
    EXPECT_EQ(RawDb(db_path).rows("SELECT path, syncStatus FROM fstatinfo ORDER BY path"),
              (std::vector<std::string>{"/s/A/f|1", "/s/a|4", "/s/ab/f|1"}));
}

TEST_F(FileStatusDBTest, RemoveAllEntryEmptiesAndCompactsTheFile) {
    for (int i = 0; i < 2000; ++i) put({"/s/some/rather/long/path/name/" + std::to_string(i)});
    ASSERT_EQ(0, FileStatusDB::removeAllEntry());
    RawDb raw(db_path);
    EXPECT_EQ(raw.value("SELECT count(*) FROM fstatinfo"), "0");
    EXPECT_EQ(raw.value("PRAGMA freelist_count"), "0");
    EXPECT_LE(std::stoi(raw.value("PRAGMA page_count")), 8);
}

TEST_F(FileStatusDBTest, ChangesFromAnyThreadAreVisibleToOtherReadersAtOnce) {
    RawDb reader(db_path);
    std::thread writer([] { FileStatusDB::setFileSyncStat(entry("/t/one", FSTAT_SYNCING)); });
    writer.join();
    EXPECT_EQ(reader.value("SELECT path FROM fstatinfo"), "/t/one");
    put({"/t/two"});
    EXPECT_EQ(reader.value("SELECT count(*) FROM fstatinfo"), "2");
    std::thread remover([] { FileStatusDB::rmFileStatByPath("/t/one"); });
    remover.join();
    EXPECT_EQ(reader.rows("SELECT path FROM fstatinfo"), std::vector<std::string>{"/t/two"});
}

TEST_F(FileStatusDBTest, ReinitializingMovesEveryThreadToTheNewFile) {
    put({"/old"});
    std::string other = dir.file("other.sqlite");
    ASSERT_EQ(0, FileStatusDB::initialize(other));
    put({"/new"});
    EXPECT_EQ(RawDb(other).rows("SELECT path FROM fstatinfo"), std::vector<std::string>{"/new"});
    EXPECT_EQ(paths(), std::vector<std::string>{"/old"});
}

TEST(FileStatusDBFailureTest, BadLocationsAreRefused) {
    TempDir dir;
    EXPECT_EQ(-1, FileStatusDB::initialize(""));
    EXPECT_EQ(-1, FileStatusDB::initialize(dir.file("missing/folder/fs.sqlite")));
    EXPECT_EQ(-1, FileStatusDB::initialize(dir.path().string()));  // a folder
    std::string corrupt = dir.write("corrupt.sqlite", std::string(8192, 'x'));
    EXPECT_EQ(-1, FileStatusDB::initialize(corrupt));
    // Writes on the corrupt file fail and say so; queries fail without a crash.
    EXPECT_NE(0, FileStatusDB::setFileSyncStat(entry("/a", FSTAT_SYNCING)));
    EXPECT_NE(0, FileStatusDB::rmFileStatByPath("/a"));
    FileStatusInfo out;
    EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("/a", &out));
    EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
    EXPECT_EQ(-1, FileStatusDB::removeAllEntry());
    EXPECT_EQ(TempDir::read(corrupt), std::string(8192, 'x'));
    FileStatusDB::destroy();
}

TEST(FileStatusDBFailureTest, AfterDestroyWritesFailAndTheFileIsUntouched) {
    TempDir dir;
    std::string path = dir.file("fs.sqlite");
    ASSERT_EQ(0, FileStatusDB::initialize(path));
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(entry("/kept", FSTAT_SYNCING)));
    FileStatusDB::destroy();
    EXPECT_EQ(FileStatusDB::path(), "");
    EXPECT_NE(0, FileStatusDB::setFileSyncStat(entry("/lost", FSTAT_SYNCING)));
    EXPECT_NE(0, FileStatusDB::rmFileStatByPath("/kept"));
    EXPECT_EQ(RawDb(path).rows("SELECT path FROM fstatinfo"), std::vector<std::string>{"/kept"});
}

TEST(FileStatusDBFailureTest, WritesToAReadOnlyFileReportTheFailure) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: file permissions do not stop writes";
    TempDir dir;
    std::string path = dir.file("fs.sqlite");
    ASSERT_EQ(0, FileStatusDB::initialize(path));
    FileStatusDB::destroy();
    std::filesystem::permissions(path, std::filesystem::perms::owner_read);
    FileStatusDB::initialize(path);  // may fail or succeed on a read-only file
    EXPECT_NE(0, FileStatusDB::setFileSyncStat(entry("/a", FSTAT_SYNCING)));
    FileStatusDB::destroy();
}

struct FormatCase {
    const char* format;
    const char* text;
    const char* expected;
};

TEST(StatementFormatterTest, QuotesAndEscapesTexts) {
    const std::vector<FormatCase> cases = {
        {"path like '@CORV:LVAR'", "it's_50%_off", "path like 'it''s\\_50\\%\\_off' escape '\\'"},
        {"path like '@CORV:LVAR/%%'", "a\\b", "path like 'a\\\\b/%%' escape '\\'"},
        {"path like '@CORV:LVAR'", "", "path like '' escape '\\'"},
        {"path = '@CORV:VAR'", "it's_50%", "path = 'it''s_50%'"},
        {"x = @CORV:NEVAR", "'raw'", "x = 'raw'"},
        {"a@b '@CORV:X' @CORV:VAR", "q'", "a@b '@CORV:X' q''"},
        {"@CORV:LVAR'", "x", "x'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        char* out = CORVDBEscapeStringEX3(c.format, c.text);
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, c.expected);
        std::free(out);
    }
}

TEST(StatementFormatterTest, FormatsNumbersAndNullTexts) {
    char* out = CORVDBEscapeStringEX3("'@CORV:VAR' @CORV:INT @CORV:LLINT '@CORV:LVAR' @CORV:NEVAR", nullptr, -5,
                                      static_cast<long long>(9007199254740993LL), nullptr, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "'' -5 9007199254740993 '' escape '\\' ");
    std::free(out);
    EXPECT_EQ(CORVDBEscapeStringEX3(nullptr), nullptr);
}

}  // namespace
