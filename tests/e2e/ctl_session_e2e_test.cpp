// tidewell-ctl setting up connections and sessions in a real daemon, with a
// scripted sync server in this process, and putting them back after a
// restart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "ctl_runner.h"
#include "daemon_harness.h"
#include "support/scripted_server.h"

namespace tidewell::e2e {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CtlSessionE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        conf.values["socket_path"] = conf.dir.file("control.sock");
        conf.values["ui_socket_path"] = conf.dir.file("ui.sock");
        config = conf.write();
        folder = conf.dir.file("Docs");
        fs::create_directories(folder);
        server_address = "127.0.0.1:" + std::to_string(server.port());
    }
    Output ctl(std::vector<std::string> args) {
        args.push_back("--config");
        args.push_back(config);
        return run_ctl(args);
    }
    Json status_json() {
        Output o = ctl({"status", "--json"});
        EXPECT_EQ(o.status, 0) << o.err;
        return Json::parse(o.out, nullptr, false);
    }

    DaemonConfig conf{free_ui_port()};
    std::string config;
    std::string folder;
    testing::ScriptedServer server;
    std::string server_address;
};

TEST_F(CtlSessionE2ETest, SessionsAreCheckedSetUpAndPutBackAfterARestart) {
    auto start = std::make_unique<CtlStart>();
    ASSERT_TRUE(start->start(config, false)) << start->output();
    ASSERT_EQ(ctl({"link"}).status, 0);

    Output added = ctl({"connection", "add", "1", "--server", server_address, "--token", "tok"});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "connection 1 added: " + server_address + "\n");
    Output duplicate = ctl({"connection", "add", "1", "--server", server_address, "--token", "tok"});
    EXPECT_EQ(duplicate.status, 1);
    EXPECT_TRUE(contains(duplicate.err, "set up already")) << duplicate.err;

    struct Refusal {
        std::vector<std::string> args;
        const char* message;
    };
    fs::create_directories(folder + "/sub");
    const Refusal refusals[] = {
        {{"session", "add", "5", "--connection", "1", "--folder", conf.dir.file("Missing")}, "does not exist"},
        {{"session", "add", "5", "--connection", "2", "--folder", folder}, "connection 2 is not set up"},
        {{"session", "add", "x", "--connection", "1", "--folder", folder}, "is not an id"},
        {{"session", "add", "5", "--connection", "1", "--folder", folder, "--recursive", "maybe"}, "yes or no"},
    };
    for (const Refusal& r : refusals) {
        Output o = ctl(r.args);
        EXPECT_NE(o.status, 0) << r.message;
        EXPECT_TRUE(contains(o.err, r.message)) << o.err;
    }

    Output session = ctl({"session", "add", "5", "--connection", "1", "--folder", folder});
    ASSERT_EQ(session.status, 0) << session.err;
    EXPECT_TRUE(contains(session.out, "session 5 added: " + folder)) << session.out;
    std::string config_dir = config + ".sessions/5";
    EXPECT_TRUE(contains(testing::TempDir::read(config_dir + "/conf/whitelist.filter"), "white_ext = \"*\""));
    EXPECT_TRUE(fs::is_regular_file(config_dir + "/db/event-db.sqlite")) << "the daemon created the session";

    for (const std::string& nested : {folder + "/sub", conf.dir.path().string()}) {
        Output o = ctl({"session", "add", "6", "--connection", "1", "--folder", nested});
        EXPECT_EQ(o.status, 1) << nested;
        EXPECT_TRUE(contains(o.err, "sessions cannot nest")) << o.err;
    }

    Json status = status_json();
    ASSERT_TRUE(status["session_list"].is_array()) << status.dump();
    EXPECT_EQ(status["session_list"][0]["status"], "pause");
    Output resumed = ctl({"session", "resume", "5"});
    EXPECT_EQ(resumed.out, "session 5 resumed\n") << resumed.err;
    Output screen = ctl({"status"});
    EXPECT_TRUE(contains(screen.out, "#5")) << screen.out;
    EXPECT_TRUE(contains(screen.out, folder + "  <->  view 1 /")) << screen.out;
    EXPECT_TRUE(contains(screen.out, server_address)) << screen.out;

    // A restart: the daemon keeps no session list; start puts the setup back.
    ASSERT_EQ(ctl({"stop"}).status, 0);
    ASSERT_EQ(start->wait_exit(), 0);
    start = std::make_unique<CtlStart>();
    ASSERT_TRUE(start->start(config, false));
    ASSERT_TRUE(start->wait_for("session 5: resumed")) << start->output();
    EXPECT_TRUE(contains(start->output(), "daemon: linked\n"));
    EXPECT_TRUE(contains(start->output(), "connection 1: " + server_address + " added\n"));
    EXPECT_TRUE(contains(start->output(), "session 5: " + folder + " added\n"));
    status = status_json();
    ASSERT_TRUE(status["session_list"].is_array()) << status.dump();
    EXPECT_NE(status["session_list"][0]["status"], "pause");
    EXPECT_EQ(status["connection_list"][0]["connection_id"], 1);

    // Removed sessions are forgotten.
    Output removed = ctl({"session", "remove", "5"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    ASSERT_EQ(ctl({"stop"}).status, 0);
    ASSERT_EQ(start->wait_exit(), 0);
    start = std::make_unique<CtlStart>();
    ASSERT_TRUE(start->start(config, false));
    ASSERT_TRUE(start->wait_for("connection 1: ")) << start->output();
    EXPECT_FALSE(contains(start->output(), "session 5"));
    EXPECT_EQ(ctl({"stop"}).status, 0);
    EXPECT_EQ(start->wait_exit(), 0);
}

TEST_F(CtlSessionE2ETest, SyncSetsEverythingUpInOneLine) {
    CtlStart start;
    ASSERT_TRUE(start.start(config, false));
    Output sync = ctl({"sync", folder, "--server", server_address, "--token", "tok", "--view", "3"});
    ASSERT_EQ(sync.status, 0) << sync.err;
    EXPECT_TRUE(contains(sync.out, "linked the daemon\n")) << sync.out;
    EXPECT_TRUE(contains(sync.out, "connection 1 added: " + server_address + "\n")) << sync.out;
    EXPECT_TRUE(contains(sync.out, "session 1 added: " + folder + " <-> view 3")) << sync.out;
    EXPECT_TRUE(contains(sync.out, "session 1 resumed: ")) << sync.out;

    Output again = ctl({"sync", folder, "--server", server_address, "--token", "tok"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, "is already session 1's folder")) << again.err;

    std::string other = conf.dir.file("Photos");
    fs::create_directories(other);
    Output second = ctl({"sync", other, "--server", server_address, "--token", "tok", "--json"});
    ASSERT_EQ(second.status, 0) << second.err;
    Json steps = Json::parse(second.out, nullptr, false);
    EXPECT_EQ(steps["linked"], false) << "an already linked daemon is fine";
    EXPECT_EQ(steps["connection"]["id"], 1);
    EXPECT_EQ(steps["connection"]["added"], false) << "the same server and token reuse the connection";
    EXPECT_EQ(steps["session"]["id"], 2);
    EXPECT_EQ(steps["resumed"], true);

    Json status = status_json();
    ASSERT_EQ(status["session_list"].size(), 2u) << status.dump();
    for (const Json& s : status["session_list"]) EXPECT_NE(s["status"], "pause");
    EXPECT_EQ(ctl({"stop"}).status, 0);
    EXPECT_EQ(start.wait_exit(), 0);
}

TEST_F(CtlSessionE2ETest, EventsPausesAndReloadsThroughTheTool) {
    CtlStart start;
    ASSERT_TRUE(start.start(config, false));
    ASSERT_EQ(ctl({"sync", folder, "--server", server_address, "--token", "tok"}).status, 0);
    Output event = ctl({"event", "add", "1", "upload", "/report.txt"});
    EXPECT_EQ(event.out, "upload of /report.txt queued in session 1\n") << event.err;
    Output bad = ctl({"event", "add", "1", "upload", "/../x"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(contains(bad.err, "the daemon refused: Invalid parameters.")) << bad.err;
    Output pause = ctl({"session", "pause", "--connection", "1"});
    EXPECT_EQ(pause.out, "the sessions of connection 1 paused\n") << pause.err;
    EXPECT_EQ(status_json()["session_list"][0]["status"], "pause");
    Output reload = ctl({"session", "reload", "1", "--read-only", "yes", "--reload-filter"});
    EXPECT_EQ(reload.out, "session 1 reloaded\n") << reload.err;
    Output watch = ctl({"status", "--watch", "--count", "2", "--interval", "1"});
    EXPECT_EQ(watch.status, 0) << watch.err;
    size_t screens = 0;
    for (size_t pos = watch.out.find("\033[H\033[2Jtidewell status at "); pos != std::string::npos;
         pos = watch.out.find("\033[H\033[2Jtidewell status at ", pos + 1))
        ++screens;
    EXPECT_EQ(screens, 2u) << watch.out;
    EXPECT_TRUE(contains(watch.out, "Transfers\n  none\n")) << watch.out;
    Output unknown = ctl({"session", "reload", "9"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(contains(unknown.err, "Invalid session.")) << unknown.err;
    EXPECT_EQ(ctl({"stop"}).status, 0);
    EXPECT_EQ(start.wait_exit(), 0);
}

TEST(CtlInitE2ETest, InitWritesAnOwnerOnlyConfigurationWithLocalSockets) {
    testing::TempDir dir;
    std::string config = dir.file("tidewell.conf");
    Output init = run_ctl({"init", "--config", config});
    ASSERT_EQ(init.status, 0) << init.err;
    struct stat st;
    ASSERT_EQ(stat(config.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = testing::TempDir::read(config);
    EXPECT_TRUE(contains(text, "socket_path = \"" + dir.file("tidewell-control.sock") + "\""));
    EXPECT_TRUE(contains(text, "ui_socket_path = \"" + dir.file("tidewell-ui.sock") + "\""));
    Output again = run_ctl({"init", "--config", config});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, "exists already"));

    CtlStart start;
    ASSERT_TRUE(start.start(config, false)) << start.output();
    EXPECT_TRUE(contains(start.output(), "control socket " + dir.file("tidewell-control.sock")));
    EXPECT_EQ(run_ctl({"link", "--config", config}).out, "{\"ack\":\"ok\"}\n");
    ASSERT_EQ(stat(dir.file("tidewell-control.sock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(run_ctl({"stop", "--config", config}).status, 0);
    EXPECT_EQ(start.wait_exit(), 0);
    EXPECT_FALSE(contains(testing::TempDir::read(dir.file("tidewell-daemon.log")), "any local user can drive"));
}

TEST(CtlInitE2ETest, TcpModeWarnsThatAnyLocalUserCanDriveTheDaemon) {
    DaemonConfig conf(free_ui_port());
    std::string config = conf.write();
    CtlStart start;
    ASSERT_TRUE(start.start(config, false));
    EXPECT_EQ(run_ctl({"stop", "--config", config}).status, 0);
    EXPECT_EQ(start.wait_exit(), 0);
    EXPECT_TRUE(contains(conf.log(), "[WARNING]")) << conf.log();
    EXPECT_TRUE(contains(conf.log(), "any local user can drive this daemon")) << conf.log();
}

}  // namespace
}  // namespace tidewell::e2e
