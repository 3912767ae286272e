#include "base/logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace {

using tidewell::testing::TempDir;
namespace fs = std::filesystem;

class LoggerTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string log_path = dir.file("daemon.log");

    int open_file_log(const std::string& levels, int rotate_cnt = 50) {
        std::string level_path = levels.empty() ? "" : dir.write("levels", levels);
        return Logger::Initialize(Logger::FILE_LOGGER, log_path.c_str(), level_path.c_str(), rotate_cnt);
    }
    std::string contents() const { return TempDir::read(log_path); }

    void TearDown() override {
        Logger::Destroy();
        Logger::SetRotateThresholdForTesting(1048576);
        Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50);
    }
};

TEST_F(LoggerTest, DefaultThresholdIsWarning) {
    ASSERT_EQ(open_file_log(""), 0);
    TW_CRIT("worker_debug", "crit\n");
    TW_ERROR("worker_debug", "err %d\n", 5);
    TW_WARNING("worker_debug", "warn\n");
    TW_NOTE("worker_debug", "note\n");
    TW_INFO("worker_debug", "info\n");
    TW_DEBUG("worker_debug", "debug\n");
    std::string log = contents();
    EXPECT_NE(log.find("crit"), std::string::npos);
    EXPECT_NE(log.find("err 5"), std::string::npos);
    EXPECT_NE(log.find("warn"), std::string::npos);
    EXPECT_EQ(log.find("note"), std::string::npos);
    EXPECT_EQ(log.find("info"), std::string::npos);
    EXPECT_EQ(log.find("debug"), std::string::npos);
}

TEST_F(LoggerTest, LineFormat) {
    ASSERT_EQ(open_file_log(""), 0);
    TW_ERROR("ipc", "find available port failed. %s\n", ustring("d\xC3\xA9j\xC3\xA0").c_str());
    std::string log = contents();
    std::regex line(
        R"(^[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \[ERROR\] logger_test\.cpp\(\d+\): find available port failed\. d\xC3\xA9j\xC3\xA0\n$)");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST_F(LoggerTest, LevelFileThresholds) {
    ASSERT_EQ(open_file_log("stream=7\ndefault_component=7\nquiet=0\n"), 0);
    EXPECT_TRUE(Logger::Enabled(Logger::L_DEBUG, "stream"));
    EXPECT_TRUE(Logger::Enabled(Logger::L_DEBUG, "default_component"));
    EXPECT_FALSE(Logger::Enabled(Logger::L_NOTICE, "worker_debug"));
    EXPECT_TRUE(Logger::Enabled(Logger::L_WARNING, "worker_debug"));
    EXPECT_FALSE(Logger::Enabled(Logger::L_CRIT, "quiet"));
    EXPECT_TRUE(Logger::Enabled(Logger::L_EMERG, "quiet"));

    TW_DEBUG("stream", "stream-trace\n");
    TW_DEBUG("worker_debug", "worker-trace\n");
    TW_CRIT("quiet", "quiet-crit\n");
    std::string log = contents();
    EXPECT_NE(log.find("stream-trace"), std::string::npos);
    EXPECT_EQ(log.find("worker-trace"), std::string::npos);
    EXPECT_EQ(log.find("quiet-crit"), std::string::npos);
}

TEST_F(LoggerTest, BadLevelFileLeavesDefaults) {
    ASSERT_EQ(open_file_log("stream=7\nbroken\n"), 0);
    EXPECT_FALSE(Logger::Enabled(Logger::L_DEBUG, "stream"));
    EXPECT_TRUE(Logger::Enabled(Logger::L_WARNING, "stream"));
}

TEST_F(LoggerTest, InitializeFailures) {
    EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, "", "", 50), -1);
    EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, (dir.path() / "no/such/dir/log").c_str(), "", 50), -1);
    EXPECT_EQ(Logger::Initialize(Logger::STDOUT_LOGGER, "", "", 50), 0);
}

TEST_F(LoggerTest, RotationKeepsRotateCountMinusOneOldFiles) {
    Logger::SetRotateThresholdForTesting(100);
    ASSERT_EQ(open_file_log("", 5), 0);
    const std::string line(120, 'x');
    for (int i = 0; i < 8; ++i) TW_ERROR("worker_debug", "%d %s\n", i, line.c_str());

    // Every message overflows the threshold: each one ends in its own old file,
    // old(0) being the newest; the fresh log is empty.
    EXPECT_EQ(contents(), "");
    for (int n = 0; n < 4; ++n) {
        std::string old = TempDir::read(log_path + "_" + std::to_string(n));
        EXPECT_NE(old.find("): " + std::to_string(7 - n) + " "), std::string::npos) << "old " << n << ": " << old;
    }
    EXPECT_FALSE(fs::exists(log_path + "_4"));
    EXPECT_FALSE(fs::exists(log_path + "_5"));
}

TEST_F(LoggerTest, RotatesOnlyBeyondTheThreshold) {
    Logger::SetRotateThresholdForTesting(1000);
    ASSERT_EQ(open_file_log(""), 0);
    TW_ERROR("a", "%s\n", std::string(100, 'y').c_str());
    EXPECT_FALSE(fs::exists(log_path + "_0"));
    EXPECT_NE(contents(), "");
    TW_ERROR("a", "%s\n", std::string(1000, 'z').c_str());
    EXPECT_TRUE(fs::exists(log_path + "_0"));
    EXPECT_EQ(contents(), "");
    TW_ERROR("a", "after\n");
    EXPECT_NE(contents().find("after"), std::string::npos);
}

TEST_F(LoggerTest, ExistingContentIsKeptAndNotCounted) {
    dir.write("daemon.log", "old line\n");
    Logger::SetRotateThresholdForTesting(200);
    ASSERT_EQ(open_file_log(""), 0);
    TW_ERROR("a", "short\n");
    EXPECT_EQ(contents().rfind("old line\n", 0), 0u);
    EXPECT_FALSE(fs::exists(log_path + "_0"));
}

TEST_F(LoggerTest, ALiveFileRemovedByOthersIsStartedAfreshAtTheNextRotation) {
    Logger::SetRotateThresholdForTesting(100);
    ASSERT_EQ(open_file_log(""), 0);
    TW_ERROR("a", "before\n");
    // Someone else deletes (or moves away) the live file: the next rotation
    // cannot rename it, and must still go on logging into a fresh one.
    ASSERT_TRUE(fs::remove(log_path));
    TW_ERROR("a", "%s\n", std::string(200, 'w').c_str());
    EXPECT_FALSE(fs::exists(log_path + "_0"));
    TW_ERROR("a", "after\n");
    EXPECT_NE(contents().find("after"), std::string::npos) << contents();
}

TEST_F(LoggerTest, AFailedReopenIsReportedOnceOnStandardError) {
    fs::create_directory(dir.path() / "logs");
    log_path = dir.file("logs/daemon.log");
    Logger::SetRotateThresholdForTesting(100);
    ASSERT_EQ(open_file_log(""), 0);
    fs::remove_all(dir.path() / "logs");
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) TW_ERROR("a", "%d %s\n", i, std::string(200, 'v').c_str());
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot reopen the log file '" + log_path + "'"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    Logger::SetRotateThresholdForTesting(4096);
    ASSERT_EQ(open_file_log("", 1000), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) TW_ERROR("a", "thread=%d i=%d end\n", t, i);
        });
    for (auto& th : threads) th.join();
    size_t lines = 0;
    std::regex line_re(R"(^.{16}\[ERROR\] logger_test\.cpp\(\d+\): thread=\d i=\d+ end$)");
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (entry.path().filename().string().rfind("daemon.log", 0) != 0) continue;
        std::string text = TempDir::read(entry.path().string());
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            std::string l = text.substr(start, end - start);
            EXPECT_TRUE(std::regex_match(l, line_re)) << l;
            ++lines;
            start = end + 1;
        }
    }
    EXPECT_EQ(lines, 800u);
}

TEST_F(LoggerTest, LogFileIsNotInherited) {
    ASSERT_EQ(open_file_log(""), 0);
    TW_ERROR("a", "x\n");
    bool found = false;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(fd.path(), ec) == fs::path(log_path)) {
            found = true;
            std::string fdinfo = TempDir::read("/proc/self/fdinfo/" + fd.path().filename().string());
            auto pos = fdinfo.find("flags:");
            ASSERT_NE(pos, std::string::npos);
            unsigned long flags = std::stoul(fdinfo.substr(pos + 6), nullptr, 8);
            EXPECT_NE(flags & 02000000, 0u) << fdinfo;  // O_CLOEXEC
        }
    }
    EXPECT_TRUE(found);
}

}  // namespace
