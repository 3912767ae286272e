#include "store/wal_batch_vfs.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "sqlite_test_util.h"
#include "support/temp_dir.h"
#include "wal_write_probe.h"

using tidewell::testing::RawDb;
using tidewell::testing::TempDir;
using tidewell::testing::WalWriteProbe;

namespace {

// A connection in WAL mode with 1 KiB pages, through `vfs` (null: the
// default VFS), holding a table with three indexes, so that every inserted
// row changes at least four pages.
class Conn {
public:
    Conn(const std::string& path, const char* vfs) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
            return;
        }
        exec(
            "PRAGMA page_size = 1024; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
            "CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY, a TEXT UNIQUE, b TEXT, c INTEGER);"
            "CREATE INDEX IF NOT EXISTS t_b ON t(b); CREATE INDEX IF NOT EXISTS t_c ON t(c);");
    }
    ~Conn() { sqlite3_close(db_); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    sqlite3* get() const { return db_; }
    int exec(const std::string& sql) const { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }
    int insert(int i, int blob_bytes = 0) const {
        std::string n = std::to_string(i);
        return exec("INSERT INTO t (a, b, c) VALUES ('a" + n + "', 'b" + n + "' || zeroblob(" +
                    std::to_string(blob_bytes) + "), " + n + ")");
    }

private:
    sqlite3* db_ = nullptr;
};

std::string count_and_check(const std::string& path) {
    RawDb raw(path);
    return raw.value("SELECT count(*) FROM t") + " " + raw.value("PRAGMA integrity_check");
}

TEST(WalBatchVfsTest, EachTransactionReachesTheLogInOneWrite) {
    ASSERT_NE(tw_store::wal_batch_vfs(), nullptr);
    WalWriteProbe probe;
    if (!probe.installed()) GTEST_SKIP() << "the unix VFS does not let pwrite64 be replaced";
    constexpr int kTransactions = 50;
    struct Case {
        const char* vfs;
        int most;
        int least;
    };
    // The default VFS writes each frame's header and page separately.
    for (const Case& c : {Case{tw_store::wal_batch_vfs(), kTransactions, kTransactions},
                          Case{nullptr, 100 * kTransactions, 8 * kTransactions}}) {
        SCOPED_TRACE(c.vfs ? c.vfs : "default VFS");
        TempDir dir;
        std::string path = dir.file("db.sqlite");
        Conn conn(path, c.vfs);
        ASSERT_EQ(SQLITE_OK, conn.insert(0));
        probe.reset();
        for (int i = 1; i <= kTransactions; ++i) {
            ASSERT_EQ(SQLITE_OK, conn.insert(i));
            // Another connection sees every commit at once.
            EXPECT_EQ(RawDb(path).value("SELECT count(*) FROM t"), std::to_string(i + 1));
        }
        EXPECT_GE(probe.writes(), c.least);
        EXPECT_LE(probe.writes(), c.most);
    }
}

TEST(WalBatchVfsTest, CommittedTransactionsOutliveTheProcessThatWroteThem) {
    TempDir dir;
    std::string path = dir.file("db.sqlite");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Twenty commits, then half of a large transaction that spills
        // frames into the log, then an exit that closes nothing.
        Conn conn(path, tw_store::wal_batch_vfs());
        bool ok = conn.get() != nullptr;
        for (int i = 0; ok && i < 20; ++i) ok = conn.insert(i) == SQLITE_OK;
        ok = ok && conn.exec("PRAGMA cache_size = 16; BEGIN") == SQLITE_OK;
        for (int i = 100; ok && i < 400; ++i) ok = conn.insert(i, 2000) == SQLITE_OK;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(count_and_check(path), "20 ok");
}

TEST(WalBatchVfsTest, AFailedLogWriteFailsTheCommitAndNothingElse) {
    WalWriteProbe probe;
    if (!probe.installed()) GTEST_SKIP() << "the unix VFS does not let pwrite64 be replaced";
    TempDir dir;
    std::string path = dir.file("db.sqlite");
    Conn conn(path, tw_store::wal_batch_vfs());
    ASSERT_EQ(SQLITE_OK, conn.insert(1));
    for (int blob : {0, 600000}) {  // one write, and a transaction written in several
        SCOPED_TRACE(blob);
        probe.fail_next(1);
        EXPECT_EQ(SQLITE_FULL, conn.insert(2, blob));
        EXPECT_TRUE(sqlite3_get_autocommit(conn.get()));
        EXPECT_EQ(count_and_check(path), "1 ok");
    }
    ASSERT_EQ(SQLITE_OK, conn.insert(3, 600000));
    ASSERT_EQ(SQLITE_OK, conn.insert(4));
    EXPECT_EQ(count_and_check(path), "3 ok");
    EXPECT_EQ(RawDb(path).value("SELECT group_concat(c) FROM t"), "1,3,4");
}

TEST(WalBatchVfsTest, LargeTransactionsSpillRollBackAndCommit) {
    TempDir dir;
    std::string path = dir.file("db.sqlite");
    Conn conn(path, tw_store::wal_batch_vfs());
    ASSERT_EQ(SQLITE_OK, conn.exec("PRAGMA cache_size = 16"));
    for (const char* end : {"ROLLBACK", "COMMIT"}) {
        SCOPED_TRACE(end);
        ASSERT_EQ(SQLITE_OK, conn.exec("BEGIN"));
        for (int i = 0; i < 1500; ++i) ASSERT_EQ(SQLITE_OK, conn.insert(i, 1500));
        // Pages written back to the log are read again and changed again.
        ASSERT_EQ(SQLITE_OK, conn.exec("UPDATE t SET c = c + 1"));
        ASSERT_EQ(SQLITE_OK, conn.exec(end));
    }
    EXPECT_EQ(count_and_check(path), "1500 ok");
    EXPECT_EQ(RawDb(path).value("SELECT sum(c) FROM t"), std::to_string(1499 * 1500 / 2 + 1500));
    ASSERT_EQ(SQLITE_OK, conn.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
    EXPECT_EQ(count_and_check(path), "1500 ok");
}

}  // namespace
