// The system filter and example configuration that the build places beside
// the programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/settings.h"
#include "filter/black_list2.h"

namespace {

const std::string kBin = TIDEWELL_BINARY_DIR "/bin";

TEST(ShippedDefaultsTest, SystemFilterLoadsAndKeepsHousekeepingNamesOut) {
    BlackList2 filter;
    ASSERT_EQ(filter.Load(kBin + "/system.filter"), 0);
    struct Case {
        const char* path;
        bool is_dir;
        bool excluded;
    };
    const Case cases[] = {
        {"/.CorvexaWorkingDirectory", true, true},
        {"/.CorvexaWorkingDirectory/#CorvRecycle/a.txt", false, true},
        {"/sub/.corvexaworkingdirectory/x", false, true},  // names ignore case
        {"/docs/~$report.docx", false, true},
        {"/docs/.~lock.sheet.ods#", false, true},
        {"/docs/draft.tmp", false, true},
        {"/movie.mkv.part", false, true},
        {"/photos/Thumbs.db", false, true},
        {"/photos/.DS_Store", false, true},
        {"/$RECYCLE.BIN", true, true},
        {"/.Trash-1000/old.txt", false, true},
        {"/docs/report.docx", false, false},
        {"/.profile", false, false},
        {"/src/main.cpp", false, false},
        {"/projects/tmp", true, false},
    };
    for (const Case& c : cases) {
        int rc = c.is_dir ? filter.TestDirectoryPath(c.path) : filter.TestFilePath(c.path);
        EXPECT_EQ(rc < 0, c.excluded) << c.path << " gives " << rc;
    }
}

TEST(ShippedDefaultsTest, ExampleConfigurationReadsAndNamesTheShippedFilter) {
    Settings settings;
    ASSERT_EQ(settings.loadConfigSettings(kBin + "/tidewell.conf.example"), 0);
    EXPECT_EQ(settings.getSystemFilterPath(), ustring(kBin + "/system.filter"));
    EXPECT_EQ(access(settings.getSystemFilterPath().c_str(), R_OK), 0);
    EXPECT_EQ(settings.getWorkerCount(), 3u);
    EXPECT_EQ(settings.getUIPort(), 1024);
    EXPECT_FALSE(settings.isForeground());
    // Owner-only local-domain sockets in both directions: the control socket
    // decides who can drive the daemon.
    EXPECT_FALSE(settings.getSocketPath().empty());
    EXPECT_FALSE(settings.getUISocketPath().empty());
}

}  // namespace
