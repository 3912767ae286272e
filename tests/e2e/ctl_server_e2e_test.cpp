// The way in for a new user, end to end: tidewell-ctl sync against a real
// tidewell-server, then status.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "ctl_runner.h"
#include "daemon_harness.h"
#include "support/server_process.h"

namespace tidewell::e2e {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

TEST(CtlServerE2ETest, SyncOnAFreshFolderThenStatus) {
    testing::TempDir server_dir;
    testing::ServerProcess server(kBin + "/tidewell-server", server_dir.file("root"));
    ASSERT_TRUE(server.Start({"--token", "secret-token"})) << server.log();
    std::string address = "127.0.0.1:" + std::to_string(server.port());

    DaemonConfig conf(free_ui_port());
    conf.values["socket_path"] = conf.dir.file("control.sock");
    conf.values["ui_socket_path"] = conf.dir.file("ui.sock");
    std::string config = conf.write();
    std::string folder = conf.dir.file("Documents");
    fs::create_directories(folder);
    CtlStart start;
    ASSERT_TRUE(start.start(config, false)) << start.output();

    Output sync = run_ctl({"sync", folder, "--server", address, "--token", "secret-token", "--config", config});
    ASSERT_EQ(sync.status, 0) << sync.err;
    EXPECT_EQ(sync.out, "linked the daemon\n"
                        "connection 1 added: " + address + "\n"
                        "session 1 added: " + folder + " <-> view 1 (filters in " + config +
                        ".sessions/1/conf)\n"
                        "session 1 resumed: " + folder + " syncs with " + address +
                        "; follow it with: tidewell-ctl status --watch\n");

    // The daemon reaches the server: the pool's channel is admitted.
    Json status;
    bool connected = false;
    for (int i = 0; i < 300 && !connected; ++i) {
        Output o = run_ctl({"status", "--json", "--config", config});
        status = Json::parse(o.out, nullptr, false);
        connected = status.is_object() && status["connection_list"].is_array() &&
                    status["connection_list"][0]["status"] == "connected";
        if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(connected) << status.dump();
    EXPECT_EQ(status["session_list"][0]["session_id"], 1);
    EXPECT_NE(status["session_list"][0]["status"], "pause");
    Output screen = run_ctl({"status", "--config", config});
    EXPECT_NE(screen.out.find("#1    connected      " + address), std::string::npos) << screen.out;

    // A wrong token: the server refuses the connection, and start prints the
    // daemon's notice as a readable line.
    std::string other = conf.dir.file("Photos");
    fs::create_directories(other);
    ASSERT_EQ(run_ctl({"sync", other, "--server", address, "--token", "wrong", "--config", config}).status, 0);
    EXPECT_TRUE(start.wait_for("connection error: connection 2 (session 2): error -6")) << start.output();

    EXPECT_EQ(run_ctl({"stop", "--config", config}).status, 0);
    EXPECT_EQ(start.wait_exit(), 0);
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace tidewell::e2e
