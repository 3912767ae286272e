// What the file event database promises about its file, whatever its I/O
// layer does underneath: another connection sees every commit at once, a
// process that dies without closing loses no commit, a failed write leaves
// nothing behind, and two connections on one file never damage each other's
// commits, also through transactions larger than the page cache.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "sqlite_test_util.h"
#include "store/file_event_db.h"
#include "support/temp_dir.h"
#include "wal_write_probe.h"

using tidewell::testing::RawDb;
using tidewell::testing::TempDir;
using tidewell::testing::WalWriteProbe;

namespace {

// A hash this long makes a record and its index entry larger than the
// connection's 32 MiB page cache: a transaction that writes or moves it
// spills pages into the log before it commits.
constexpr size_t kSpillingBytes = 24u << 20;

DBFileInfo record(const std::string& path, uint64_t sync_id, size_t hash_bytes = 32) {
    DBFileInfo info;
    info.path = path;
    info.fileType = 0;
    info.syncID = info.maxSyncID = sync_id;
    info.fileSize = 100;
    info.fileCheckSum = std::string(hash_bytes, static_cast<char>('a' + sync_id % 26));
    info.fileModTime = 1700000000;
    return info;
}

class FileEventDBDurabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "db");
        db_path = dir.file("db/event-db.sqlite");
    }

    std::string count(const char* table = "event_table") const {
        return RawDb(db_path).value(std::string("SELECT count(*) FROM ") + table);
    }
    std::string integrity() const { return RawDb(db_path).value("PRAGMA integrity_check"); }

    // Runs `work` in a child process that then ends with _exit; true when
    // the child reported success. What `work` opens on the heap and does not
    // delete stays open to the end: the process closes nothing.
    static bool in_child_without_close(const std::function<bool()>& work) {
        pid_t child = fork();
        if (child < 0) return false;
        if (child == 0) _exit(work() ? 0 : 1);
        int status = 0;
        if (waitpid(child, &status, 0) != child) return false;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    TempDir dir;
    std::string db_path;
};

TEST_F(FileEventDBDurabilityTest, AnotherConnectionSeesEachCommitAtOnce) {
    FileEventDB db;
    ASSERT_EQ(0, db.initialize(db_path));
    RawDb other(db_path);
    for (int i = 1; i <= 50; ++i) {
        ASSERT_EQ(0, db.setEventInfo(record("/f" + std::to_string(i), i)));
        // The record and the root folder record.
        EXPECT_EQ(other.value("SELECT count(*) FROM event_table"), std::to_string(i + 1));
    }
}

TEST_F(FileEventDBDurabilityTest, CommitsOutliveAProcessThatExitsWithoutClosing) {
    ASSERT_TRUE(in_child_without_close([&] {
        FileEventDB& db = *new FileEventDB;
        bool ok = db.initialize(db_path) == 0;
        for (int i = 1; ok && i <= 20; ++i) ok = db.setEventInfo(record("/d/f" + std::to_string(i), i)) == 0;
        return ok;
    }));
    EXPECT_EQ(count(), "22");  // twenty records, "/d" and "/"
    EXPECT_EQ(integrity(), "ok");
}

TEST_F(FileEventDBDurabilityTest, ALargeCommitOutlivesAProcessThatExitsWithoutClosing) {
    // A folder of records with long random hashes: removing it dirties more
    // pages than the page cache holds (freed pages are overwritten), so
    // pages spill into the log, and the hash index's pages, visited in
    // random order, are changed again after they spilled, which rewrites
    // their frames in place at the commit.
    {
        FileEventDB db;
        ASSERT_EQ(0, db.initialize(db_path));
        ASSERT_EQ(0, db.setEventInfo(record("/kept", 1)));
        uint32_t seed = 1;
        for (int i = 0; i < 4000; ++i) {
            DBFileInfo info = record("/big/f" + std::to_string(i), 2);
            std::string hash(5000, ' ');
            for (char& c : hash) {
                seed = seed * 1103515245u + 12345u;
                c = static_cast<char>('a' + (seed >> 16) % 26);
            }
            info.fileCheckSum = hash;
            ASSERT_EQ(0, db.setEventInfo(info));
        }
    }
    ASSERT_TRUE(in_child_without_close([&] {
        FileEventDB& db = *new FileEventDB;
        RawDb& other = *new RawDb(db_path);
        RawDb& reader = *new RawDb(db_path);
        // A reader that holds a state which a checkpoint has then copied in
        // whole: the log is neither restarted under the large transaction nor
        // checkpointed after it, so its commit is the last thing written to
        // the log before the process ends.
        return db.initialize(db_path) == 0 && other.value("PRAGMA wal_checkpoint(TRUNCATE)") == "0|0|0" &&
               db.setEventInfo(record("/x", 3)) == 0 && reader.exec("BEGIN") == SQLITE_OK &&
               reader.value("SELECT count(*) FROM event_table") == "4004" &&
               other.exec("PRAGMA wal_checkpoint(PASSIVE)") == SQLITE_OK && db.rmEventInfo("/big") == 0;
    }));
    EXPECT_EQ(integrity(), "ok");
    EXPECT_EQ(RawDb(db_path).rows("SELECT path FROM event_table ORDER BY path"),
              (std::vector<std::string>{"/", "/kept", "/x"}));
}

TEST_F(FileEventDBDurabilityTest, ARolledBackSpillOfOneConnectionLeavesAnothersCommitsWhole) {
    // A session reload keeps the old database object alive while a new one
    // opens the same file.
    FileEventDB old_db;
    FileEventDB new_db;
    ASSERT_EQ(0, old_db.initialize(db_path));
    ASSERT_EQ(0, new_db.initialize(db_path));

    // A folder whose move into the recycle table is larger than the page
    // cache, and a recycle entry that makes the move fail at its last row.
    ASSERT_EQ(0, old_db.setEventInfo(record("/big/a", 1, kSpillingBytes)));
    ASSERT_EQ(0, old_db.setEventInfo(record("/big/z", 2)));
    ASSERT_EQ(0, old_db.addFileToRecycleBin("/R/z", 1, "h", ""));
    // An empty log, so that both transactions below write it from its start.
    ASSERT_EQ(RawDb(db_path).value("PRAGMA wal_checkpoint(TRUNCATE)"), "0|0|0");
    EXPECT_EQ(-1, old_db.dumpDirToRecycleBin("/R", "/big"));
    EXPECT_EQ(count("recycle_bin_table"), "1");

    // The other connection commits a transaction as large while a reader
    // holds on to the state before it, so that no checkpoint copies the log
    // into the database file yet. Then the first connection is used again.
    RawDb reader(db_path);
    ASSERT_EQ(SQLITE_OK, reader.exec("BEGIN"));
    ASSERT_EQ(reader.value("SELECT count(*) FROM event_table"), "4");
    ASSERT_EQ(0, new_db.setEventInfo(record("/new/large", 3, kSpillingBytes)));
    ASSERT_EQ(SQLITE_OK, reader.exec("COMMIT"));
    ASSERT_EQ(0, old_db.setEventInfo(record("/old", 4)));
    DBFileInfo out;
    ASSERT_EQ(1, old_db.getEventInfo("/new/large", out));
    EXPECT_TRUE(out.fileCheckSum == record("/new/large", 3, kSpillingBytes).fileCheckSum);

    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "open" : "closed");
        EXPECT_EQ(integrity(), "ok");
        EXPECT_EQ(count(), "7");  // "/", "/big", its two records, "/new", "/new/large", "/old"
        // Closing both checkpoints the log into the database file.
        old_db.destroy();
        new_db.destroy();
    }
}

TEST_F(FileEventDBDurabilityTest, AFailedLogWriteFailsTheCommitAndLeavesNothing) {
    WalWriteProbe probe;
    if (!probe.installed()) GTEST_SKIP() << "the unix VFS does not let pwrite64 be replaced";
    FileEventDB db;
    ASSERT_EQ(0, db.initialize(db_path));
    ASSERT_EQ(0, db.setEventInfo(record("/kept", 1)));
    // A one-page record, and one whose transaction writes the log many times.
    for (size_t bytes : {size_t{32}, size_t{600000}}) {
        SCOPED_TRACE(bytes);
        probe.fail_next(1);
        EXPECT_EQ(-1, db.setEventInfo(record("/x/failed", 2, bytes)));
        EXPECT_EQ(count(), "2");
        EXPECT_EQ(integrity(), "ok");
    }
    ASSERT_EQ(0, db.setEventInfo(record("/x/large", 3, 600000)));
    ASSERT_EQ(0, db.setEventInfo(record("/x/small", 4)));
    EXPECT_EQ(RawDb(db_path).rows("SELECT path FROM event_table ORDER BY path"),
              (std::vector<std::string>{"/", "/kept", "/x", "/x/large", "/x/small"}));
    EXPECT_EQ(integrity(), "ok");
}

}  // namespace
