// tidewell-ctl's pieces that need no daemon: the progress bar, host and
// port, the nesting of sync folders, the setup file and the default filter
// files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "filter/black_list2.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "session_folders.h"
#include "setup_requests.h"
#include "setup_state.h"
#include "status_view.h"
#include "support/temp_dir.h"

namespace ctl {
namespace {

using tidewell::testing::TempDir;

TEST(StatusViewTest, ProgressBarsAndSizes) {
    struct Case {
        uint64_t done, total;
        const char* text;
    };
    const Case cases[] = {
        {0, 1000, "[..........]   0%  0 B of 1000 B"},
        {350, 1000, "[###.......]  35%  350 B of 1000 B"},
        {1000, 1000, "[##########] 100%  1000 B of 1000 B"},
        {5000, 1000, "[##########] 100%  1000 B of 1000 B"},  // never past the end
        {1536, 0, "[??????????]  1.5 KiB"},                   // no total known
        {UINT64_MAX / 2, UINT64_MAX, "[####......]  49%  8.0 EiB of 16.0 EiB"},
    };
    for (const Case& c : cases) EXPECT_EQ(ProgressBar(c.done, c.total, 10), c.text) << c.done << "/" << c.total;
    EXPECT_EQ(HumanBytes(3 * 1024 * 1024 + 512 * 1024), "3.5 MiB");
}

TEST(StatusViewTest, TheScreenNamesFoldersAndServersFromTheSetup) {
    SavedSetup setup;
    ConnectionSetup c;
    c.id = 1;
    c.server = "files.example";
    c.port = 7000;
    c.tls = true;
    setup.Put(c);
    SessionSetup s;
    s.id = 5;
    s.connection = 1;
    s.view = 3;
    s.folder = "/home/ann/Docs";
    setup.Put(s);
    PObject status;
    PObject session;
    session["session_id"] = uint64_t{5};
    session["connection_id"] = uint64_t{1};
    session["status"] = "syncing";
    session["unfinished_files"] = uint64_t{4};
    status["session_list"].asArray().push_back(session);
    PObject connection;
    connection["connection_id"] = uint64_t{1};
    connection["status"] = "connected";
    status["connection_list"].asArray().push_back(connection);
    status["worker_list"] = PObject();
    std::string screen = StatusScreen(status, setup);
    EXPECT_NE(screen.find("#5"), std::string::npos) << screen;
    EXPECT_NE(screen.find("syncing (4 left)"), std::string::npos) << screen;
    EXPECT_NE(screen.find("/home/ann/Docs  <->  view 3 /"), std::string::npos) << screen;
    EXPECT_NE(screen.find("files.example:7000 (TLS)"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Transfers\n  none\n"), std::string::npos) << screen;
}

TEST(SetupRequestsTest, HostAndPort) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"files.example:7000", true, "files.example", 7000},
        {"[::1]:443", true, "[::1]", 443},
        {"127.0.0.1:1", true, "127.0.0.1", 1},
        {"host", false, "", 0},
        {":80", false, "", 0},
        {"host:", false, "", 0},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:80x", false, "", 0},
        {"host:-5", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string host, error;
        int port = 0;
        EXPECT_EQ(ParseHostPort(c.text, host, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(SessionFoldersTest, SessionsCannotNest) {
    SavedSetup setup;
    SessionSetup s;
    s.id = 1;
    s.folder = "/data/docs";
    setup.Put(s);
    struct Case {
        const char* folder;
        uint64_t id;
        bool conflict;
    };
    const Case cases[] = {
        {"/data/docs", 2, true},        // the same folder
        {"/data/docs/sub", 2, true},    // inside it
        {"/data", 2, true},             // holding it
        {"/data/docs2", 2, false},      // a name that merely starts alike
        {"/data/doc", 2, false},
        {"/data/docs", 1, false},       // the session itself, added again
    };
    for (const Case& c : cases) EXPECT_EQ(!FolderConflict(setup, c.folder, c.id).empty(), c.conflict) << c.folder;

    std::string error;
    EXPECT_EQ(ResolveSyncFolder("/no/such/folder", error), "");
    EXPECT_NE(error.find("does not exist"), std::string::npos);
}

TEST(SetupStateTest, SavedOwnerOnlyAndReadBack) {
    TempDir dir;
    std::string config = dir.write("tidewell.conf", "");
    SavedSetup setup;
    std::string error;
    ASSERT_TRUE(setup.Load(config, error)) << error;
    EXPECT_TRUE(setup.connections.empty());
    EXPECT_EQ(setup.NextConnectionId(), 1u);
    ConnectionSetup c;
    c.id = 4;
    c.server = "h";
    c.port = 9;
    c.token = "secret";
    setup.Put(c);
    SessionSetup s;
    s.id = 7;
    s.connection = 4;
    s.folder = "/f";
    s.config_dir = "/c";
    s.paused = false;
    setup.Put(s);
    ASSERT_TRUE(setup.Save(error)) << error;
    struct stat st;
    ASSERT_EQ(stat(SavedSetup::PathFor(config).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "it holds the servers' tokens";

    SavedSetup again;
    ASSERT_TRUE(again.Load(config, error)) << error;
    ASSERT_NE(again.FindConnection(4), nullptr);
    EXPECT_EQ(again.FindConnection(4)->token, "secret");
    ASSERT_NE(again.FindSession(7), nullptr);
    EXPECT_FALSE(again.FindSession(7)->paused);
    EXPECT_EQ(again.NextSessionId(), 8u);
    again.ForgetSession(0);
    EXPECT_TRUE(again.sessions.empty());

    dir.write("tidewell.conf.setup", "{\"sessions\": [{\"id\": 3}]}");
    EXPECT_FALSE(again.Load(config, error));
    EXPECT_NE(error.find("without a valid id, folder"), std::string::npos) << error;
}

TEST(SessionFoldersTest, DefaultFilterFilesLetEveryFileInAndAreNotOverwritten) {
    TempDir dir;
    std::string config_dir = dir.file("sessions/1");
    std::string error;
    ASSERT_TRUE(PrepareConfigDir(config_dir, error)) << error;
    BlackList2 black;
    WhiteListCpp white;
    ForceHashCheckListCpp force;
    ASSERT_EQ(black.Load(config_dir + "/conf/blacklist.filter"), 0);
    ASSERT_EQ(white.Load(config_dir + "/conf/whitelist.filter"), 0);
    ASSERT_EQ(force.Load(config_dir + "/conf/force-hash-check-list.filter"), 0);
    EXPECT_EQ(black.TestFilePath("/docs/report.pdf"), 0);
    EXPECT_EQ(white.Test("report.pdf"), 0) << "an empty white list would filter every file out";
    EXPECT_EQ(white.Test("Makefile"), 0);

    dir.write("sessions/1/conf/whitelist.filter", "mine");
    ASSERT_TRUE(PrepareConfigDir(config_dir, error)) << error;
    EXPECT_EQ(TempDir::read(config_dir + "/conf/whitelist.filter"), "mine") << "the user's own file stays";
}

}  // namespace
}  // namespace ctl
