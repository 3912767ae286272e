#include "base/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace {

using tidewell::testing::TempDir;

class SettingsTest : public ::testing::Test {
protected:
    Settings settings;
    TempDir dir;
    int load(const std::string& content) { return settings.loadConfigSettings(dir.write("conf", content).c_str()); }
};

TEST_F(SettingsTest, Defaults) {
    EXPECT_EQ(settings.getPidFilePath(), "/var/run/tidewell-daemon.pid");
    EXPECT_EQ(settings.getLogFilePath(), "/var/log/tidewell-daemon.log");
    EXPECT_EQ(settings.getLogLevelFilePath(), "/var/log/tidewell-daemon.debug");
    EXPECT_EQ(settings.getCertPath(), "");
    EXPECT_EQ(settings.getWorkDirName(), ".CorvexaWorkingDirectory");
    EXPECT_EQ(settings.getFStatDbPath(), "/tmp/file-status.sqlite");
    EXPECT_EQ(settings.getFilterDbPath(), "/tmp/filter.sqlite");
    EXPECT_EQ(settings.getHistoryDbPath(), "/tmp/history.sqlite");
    EXPECT_EQ(settings.getSystemFilterPath(), "/tmp/filter");
    EXPECT_EQ(settings.getSocketPath(), "");
    EXPECT_EQ(settings.getUISocketPath(), "");
    EXPECT_EQ(settings.getWorkerCount(), 3u);
    EXPECT_EQ(settings.getUIPort(), 1024);
    EXPECT_FALSE(settings.isForeground());
}

TEST_F(SettingsTest, EveryKeyIsTaken) {
    ASSERT_EQ(load("pid_file_path=/p\nlog_file_path=/l\nlog_level_file_path=/ll\ncert_path=/c\n"
                   "work_dir_name=w\nfstat_db_path=/f\nfilter_db_path=/fd\nhistory_db_path=/h\n"
                   "system_filter_path=/s\nworker_count=5\nsocket_path=/sock\nui_socket_path=/ui\n"
                   "ui_port=2000\nis_foreground=true\n"),
              0);
    EXPECT_EQ(settings.getPidFilePath(), "/p");
    EXPECT_EQ(settings.getLogFilePath(), "/l");
    EXPECT_EQ(settings.getLogLevelFilePath(), "/ll");
    EXPECT_EQ(settings.getCertPath(), "/c");
    EXPECT_EQ(settings.getWorkDirName(), "w");
    EXPECT_EQ(settings.getFStatDbPath(), "/f");
    EXPECT_EQ(settings.getFilterDbPath(), "/fd");
    EXPECT_EQ(settings.getHistoryDbPath(), "/h");
    EXPECT_EQ(settings.getSystemFilterPath(), "/s");
    EXPECT_EQ(settings.getWorkerCount(), 5u);
    EXPECT_EQ(settings.getSocketPath(), "/sock");
    EXPECT_EQ(settings.getUISocketPath(), "/ui");
    EXPECT_EQ(settings.getUIPort(), 2000);
    EXPECT_TRUE(settings.isForeground());
}

TEST_F(SettingsTest, Cases) {
    struct Case {
        const char* content;
        int result;
        const char* log_file;
        int ui_port;
        bool foreground;
        unsigned workers;
        const char* pid_file;
    } cases[] = {
        {"ui_port = 2000\n  # note\n", 0, "/var/log/tidewell-daemon.log", 2000, false, 3,
         "/var/run/tidewell-daemon.pid"},
        {"is_foreground=True\n", 0, "/var/log/tidewell-daemon.log", 1024, false, 3, "/var/run/tidewell-daemon.pid"},
        {"is_foreground=\"true\"\n", 0, "/var/log/tidewell-daemon.log", 1024, true, 3, "/var/run/tidewell-daemon.pid"},
        {"log_file_path=\"/tmp/my log\"\n", 0, "/tmp/my log", 1024, false, 3, "/var/run/tidewell-daemon.pid"},
        {"ui_port=7\nlog_file_path=/tmp/my log\n", -1, "/var/log/tidewell-daemon.log", 1024, false, 3,
         "/var/run/tidewell-daemon.pid"},
        {"ui_port=7\nworker_count=\n", -1, "/var/log/tidewell-daemon.log", 1024, false, 3,
         "/var/run/tidewell-daemon.pid"},
        {"pid_file_path=''\n", 0, "/var/log/tidewell-daemon.log", 1024, false, 3, "/var/run/tidewell-daemon.pid"},
        {"worker_count=abc\n", 0, "/var/log/tidewell-daemon.log", 1024, false, 3, "/var/run/tidewell-daemon.pid"},
        {"worker_count=1\n", 0, "/var/log/tidewell-daemon.log", 1024, false, 3, "/var/run/tidewell-daemon.pid"},
        {"worker_count=-4\n", 0, "/var/log/tidewell-daemon.log", 1024, false, 3, "/var/run/tidewell-daemon.pid"},
        {"worker_count=2\n", 0, "/var/log/tidewell-daemon.log", 1024, false, 2, "/var/run/tidewell-daemon.pid"},
        {"ui_port=abc\n", 0, "/var/log/tidewell-daemon.log", 0, false, 3, "/var/run/tidewell-daemon.pid"},
        {"ui_port\n", -1, "/var/log/tidewell-daemon.log", 1024, false, 3, "/var/run/tidewell-daemon.pid"},
        {"ui_port=9\npid_file_path", 0, "/var/log/tidewell-daemon.log", 9, false, 3, "/var/run/tidewell-daemon.pid"},
    };
    for (const auto& c : cases) {
        settings.resetToDefaults();
        testing::internal::CaptureStderr();
        EXPECT_EQ(load(c.content), c.result) << c.content;
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(settings.getLogFilePath(), c.log_file) << c.content;
        EXPECT_EQ(settings.getUIPort(), c.ui_port) << c.content;
        EXPECT_EQ(settings.isForeground(), c.foreground) << c.content;
        EXPECT_EQ(settings.getWorkerCount(), c.workers) << c.content;
        EXPECT_EQ(settings.getPidFilePath(), c.pid_file) << c.content;
    }
}

TEST_F(SettingsTest, SmallWorkerCountIsRefusedWithAWarning) {
    testing::internal::CaptureStderr();
    ASSERT_EQ(load("worker_count=1\n"), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[WARNING] settings.cpp("), std::string::npos) << err;
    EXPECT_NE(err.find("worker_count 1 refused"), std::string::npos) << err;
    EXPECT_EQ(settings.getWorkerCount(), 3u);
}

TEST_F(SettingsTest, MissingFileKeepsDefaults) {
    EXPECT_EQ(settings.loadConfigSettings((dir.path() / "absent").c_str()), -1);
    EXPECT_EQ(settings.getUIPort(), 1024);
}

TEST(SettingsInstance, IsSingle) {
    EXPECT_EQ(&Settings::getInstance(), &Settings::getInstance());
}

}  // namespace
