// tidewell-ctl driving a real daemon.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "ctl_runner.h"
#include "daemon_harness.h"

namespace tidewell::e2e {
namespace {

TEST(CtlE2ETest, StartLinkSendUnlinkStop) {
    DaemonConfig conf(free_ui_port());
    std::string config = conf.write();
    CtlStart start;
    ASSERT_TRUE(start.start(config, false)) << start.output();
    EXPECT_NE(start.output().find("tidewell-daemon started (pid "), std::string::npos);

    Output link = run_ctl({"link", "--config", config});
    EXPECT_EQ(link.status, 0) << link.err;
    EXPECT_EQ(link.out, "{\"ack\":\"ok\"}\n");

    Output again = run_ctl({"send", "--config", config, "{\"action\": \"link\"}"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "{\"ack\":\"ok\",\"error\":\"Already linked\"}\n");

    Output other = run_ctl({"send", "--config", config, "{\"action\": \"x\", \"n\": -1, \"flag\": true, \"l\": [1]}"});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(other.out, "{\"ack\":\"ok\"}\n");

    struct Bad {
        const char* json;
        const char* message;
    };
    for (const Bad& bad : {Bad{"{not json", "not valid JSON"}, Bad{"[1]", "a request is a JSON object"},
                           Bad{"{\"action\": 1.5}", "is not an integer"}}) {
        Output o = run_ctl({"send", "--config", config, bad.json});
        EXPECT_EQ(o.status, 2) << bad.json;
        EXPECT_NE(o.err.find(bad.message), std::string::npos) << o.err;
    }

    Output unlink = run_ctl({"unlink", "--config", config});
    EXPECT_EQ(unlink.out, "{\"ack\":\"ok\"}\n");

    Output stop = run_ctl({"stop", "--config", config});
    EXPECT_EQ(stop.status, 0) << stop.err;
    EXPECT_EQ(stop.out, "tidewell-daemon stopped\n");
    EXPECT_EQ(start.wait_exit(), 0);
    EXPECT_NE(start.output().find("tidewell-daemon exited (status 0)"), std::string::npos) << start.output();
    EXPECT_NE(access((config + ".state").c_str(), F_OK), 0);
    EXPECT_NE(access(conf.values["pid_file_path"].c_str(), F_OK), 0);
}

TEST(CtlE2ETest, NoDaemonRunningIsSaidPlainly) {
    DaemonConfig conf(free_ui_port());
    std::string config = conf.write();
    for (const char* command : {"link", "stop"}) {
        Output o = run_ctl({command, "--config", config});
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find("no daemon is running for " + config), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty());
    }
    // A state file left by a process that is gone.
    conf.dir.write("tidewell.conf.state", "{\"daemon_pid\": 999999999, \"ctl_pid\": 999999999, \"daemon_port\": 1}");
    Output stale = run_ctl({"link", "--config", config});
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.err.find("stale state file"), std::string::npos) << stale.err;

    Output usage = run_ctl({"frobnicate", "--config", config});
    EXPECT_EQ(usage.status, 2);
    Output missing = run_ctl({"start", "--config", conf.dir.file("absent.conf")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot use the configuration"), std::string::npos);
}

TEST(CtlE2ETest, NotificationsArePrintedOnePerLine) {
    for (bool json : {false, true}) {
        int ui_port = free_ui_port();
        DaemonConfig conf(ui_port);
        std::string config = conf.write();
        CtlStart start;
        ASSERT_TRUE(start.start(config, json));

        // The daemon's notifications arrive on ui_port; send one as it would.
        PObject notice;
        notice["notify"] = "error";
        notice["connection_id"] = uint64_t{7};
        notice["conn_id"] = uint64_t{7};
        notice["sess_id"] = uint64_t{3};
        notice["error_type"] = int32_t{-2};
        IPCSender sender;
        ASSERT_EQ(sender.connect(ui_port), 0);
        ASSERT_EQ(sender.send(notice), 0);
        sender.close();

        const std::string expected =
            json ? "{\"conn_id\":7,\"connection_id\":7,\"error_type\":-2,\"notify\":\"error\",\"sess_id\":3}\n"
                 : "connection error: connection 7 (session 3): error -2 (I/O error)\n";
        EXPECT_TRUE(start.wait_for(expected)) << start.output();

        EXPECT_EQ(run_ctl({"stop", "--config", config}).status, 0);
        EXPECT_EQ(start.wait_exit(), 0);
    }
}

TEST(CtlE2ETest, LocalSocketsForBothDirections) {
    DaemonConfig conf(free_ui_port());
    std::string ui_socket = conf.dir.file("ui.sock");
    conf.values["socket_path"] = conf.dir.file("control.sock");
    conf.values["ui_socket_path"] = ui_socket;
    std::string config = conf.write();
    CtlStart start;
    ASSERT_TRUE(start.start(config, false)) << start.output();
    EXPECT_NE(start.output().find("control socket " + conf.values["socket_path"]), std::string::npos);

    struct stat st;
    ASSERT_EQ(lstat(ui_socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Output link = run_ctl({"link", "--config", config});
    EXPECT_EQ(link.out, "{\"ack\":\"ok\"}\n") << link.err;

    // A second daemon on the same control socket is refused before it starts.
    DaemonConfig other(free_ui_port());
    other.values["socket_path"] = conf.values["socket_path"];
    Output second = run_ctl({"start", "--config", other.write()});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already listens on the control socket"), std::string::npos) << second.err;

    IPCSender sender;
    ASSERT_EQ(sender.connect(ui_socket), 0);
    PObject notice;
    notice["notify"] = "recent_file";
    notice["session_id"] = uint64_t{2};
    notice["path"] = "/a.txt";
    notice["is_dir"] = uint64_t{0};
    notice["event_type"] = uint64_t{3};
    ASSERT_EQ(sender.send(notice), 0);
    sender.close();
    EXPECT_TRUE(start.wait_for("synced: session 2, file /a.txt\n")) << start.output();

    EXPECT_EQ(run_ctl({"stop", "--config", config}).status, 0);
    EXPECT_EQ(start.wait_exit(), 0);
    EXPECT_NE(access(ui_socket.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tidewell::e2e
