// The connection actions through the control socket of a daemon in this
// process.
#include <gtest/gtest.h>

#include <chrono>

#include "daemon/connection_actions.h"
#include "net/connection_manager.h"
#include "support/control_daemon.h"
#include "support/scripted_server.h"
#include "support/server_views.h"

namespace tidewell::testing {
namespace {

Connection Get(uint64_t id) {
    Connection c;
    EXPECT_EQ(ConnectionManager::getInstance().get(id, c), 0) << "connection " << id;
    return c;
}

size_t ConnectionCount() {
    std::vector<Connection> all;
    ConnectionManager::getInstance().get(all);
    return all.size();
}

TEST(PrepareConnectionInfoTest, EveryMemberIsReadAndAbsentOnesReadAsNothing) {
    PObject msg;
    msg["session"] = "tok";
    msg["server_ip"] = "files.example";
    msg["server_port"] = uint64_t{7000};
    msg["connection_id"] = uint64_t{4};
    msg["connection_mode"] = uint64_t{2};
    msg["username"] = "ann";
    msg["computer_name"] = "desk";
    msg["package_version"] = uint64_t{4242};
    msg["package_major"] = uint64_t{7};
    msg["package_minor"] = uint64_t{1};
    msg["ssl_allow_untrust"] = uint64_t{1};
    msg["ssl_server_hostname"] = "cert.example";
    msg["use_proxy"] = uint64_t{1};
    msg["use_sys_proxy"] = uint64_t{1};
    msg["proxy_ip"] = "10.0.0.1";
    msg["proxy_port"] = uint64_t{3128};
    msg["proxy_username"] = "pu";
    msg["proxy_password"] = "pp";
    msg["proxy_domain"] = "dom";
    msg["proxy_host"] = "proxyhost";
    msg["use_tunnel"] = uint64_t{1};
    msg["tunnel_ip"] = "10.0.0.2";
    msg["tunnel_port"] = uint64_t{443};
    msg["password"] = "never taken";
    ConnectionInfo info;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    prepare_connection_info(msg, info, proxy, tunnel);
    EXPECT_EQ(info.session, ustring("tok"));
    EXPECT_EQ(info.server_ip, ustring("files.example"));
    EXPECT_EQ(info.server_port, 7000);
    EXPECT_EQ(info.conn_id, 4u);
    EXPECT_EQ(info.c_mode, CM_DDNS);
    EXPECT_EQ(info.username, ustring("ann"));
    EXPECT_EQ(info.computer_name, ustring("desk"));
    EXPECT_FALSE(info.use_ssl) << "an absent use_ssl reads as false, not the fresh record's true";
    EXPECT_EQ(info.version_info.build_number, 4242);
    EXPECT_EQ(info.version_info.major, 7);
    EXPECT_EQ(info.version_info.minor, 1);
    EXPECT_TRUE(info.ssl_allow_untrust);
    EXPECT_EQ(info.server_name, ustring("cert.example"));
    EXPECT_TRUE(info.password.empty());
    EXPECT_TRUE(proxy.use_proxy);
    EXPECT_TRUE(proxy.use_sys_proxy);
    EXPECT_EQ(proxy.proxy_ip, "10.0.0.1");
    EXPECT_EQ(proxy.proxy_port, 3128);
    EXPECT_EQ(proxy.user_name, "pu");
    EXPECT_EQ(proxy.password, "pp");
    EXPECT_EQ(proxy.domain, "dom");
    EXPECT_EQ(proxy.host, "proxyhost");
    EXPECT_TRUE(tunnel.use_tunnel);
    EXPECT_EQ(tunnel.tunnel_ip, "10.0.0.2");
    EXPECT_EQ(tunnel.tunnel_port, 443);
}

class ConnectionActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        views.Attach(server);
        daemon = std::make_unique<ControlDaemon>(TestTaskFactory(&workers));
        ASSERT_EQ(daemon->Action("link"), AckOnly());
    }
    FakeWorker::Control workers;
    ScriptedServer server;
    ServerViews views;
    TempDir root;
    std::unique_ptr<ControlDaemon> daemon;
};

TEST_F(ConnectionActionsTest, AMissingRequiredMemberAddsNothing) {
    for (const char* action : {"link_connection", "reload_connection"}) {
        for (const char* member : {"connection_id", "server_ip", "server_port", "session"}) {
            PObject msg = ConnectionRequest(3, server.port(), action);
            msg.asMap().erase(member);
            EXPECT_EQ(daemon->Request(msg), ErrorReply("Invalid parameters")) << action << " " << member;
        }
        PObject zero = ConnectionRequest(0, server.port(), action);
        PObject bad_port = ConnectionRequest(3, 70000, action);
        for (const PObject& msg : {zero, bad_port})
            EXPECT_EQ(daemon->Request(msg), ErrorReply("Invalid parameters")) << msg.toString().c_str();
    }
    EXPECT_EQ(ConnectionCount(), 0u);
}

TEST_F(ConnectionActionsTest, DuplicateLinkAndReloadOfAnUnknownIdFailAloud) {
    ASSERT_EQ(daemon->Request(ConnectionRequest(3, server.port())), AckOnly());
    PObject other = ConnectionRequest(3, server.port());
    other["server_ip"] = "127.0.0.9";
    EXPECT_EQ(daemon->Request(other), ErrorReply("Failed to add connection."));
    EXPECT_EQ(Get(3).getConnectionInfo().server_ip, ustring("127.0.0.1")) << "the first one stays";
    EXPECT_EQ(daemon->Request(ConnectionRequest(8, server.port(), "reload_connection")),
              ErrorReply("Failed to reload connection."));
    EXPECT_EQ(ConnectionCount(), 1u);
}

TEST_F(ConnectionActionsTest, AnEmptyProxyAddressMeansNoProxyForLinkAndReload) {
    for (const char* action : {"link_connection", "reload_connection"}) {
        PObject msg = ConnectionRequest(3, server.port(), action);
        msg["use_proxy"] = uint64_t{1};
        msg["proxy_ip"] = "";
        msg["proxy_port"] = uint64_t{3128};
        ASSERT_EQ(daemon->Request(msg), AckOnly()) << action;
        EXPECT_FALSE(Get(3).getProxyInfo().use_proxy) << action;
    }
    PObject with_proxy = ConnectionRequest(3, server.port(), "reload_connection");
    with_proxy["use_proxy"] = uint64_t{1};
    with_proxy["proxy_ip"] = "10.1.1.1";
    with_proxy["proxy_port"] = uint64_t{3128};
    ASSERT_EQ(daemon->Request(with_proxy), AckOnly());
    EXPECT_EQ(Get(3).getProxyInfo().proxy_ip, "10.1.1.1") << "kept for the proxy channels";
}

TEST_F(ConnectionActionsTest, UnlinkOneOrEvery) {
    for (uint64_t id : {1, 2, 3}) ASSERT_EQ(daemon->Request(ConnectionRequest(id, server.port())), AckOnly());
    EXPECT_EQ(daemon->Request(Msg({{"action", "unlink_connection"}, {"connection_id", uint64_t{2}}})), AckOnly());
    EXPECT_EQ(ConnectionCount(), 2u);
    Connection c;
    EXPECT_LT(ConnectionManager::getInstance().get(2, c), 0);
    EXPECT_EQ(daemon->Action("unlink_connection"), AckOnly());
    EXPECT_EQ(ConnectionCount(), 0u);
}

TEST_F(ConnectionActionsTest, ReloadDoesNotWaitForAPullInFlight) {
    ASSERT_EQ(daemon->Request(ConnectionRequest(1, server.port())), AckOnly());
    SessionDirs dirs(root, "s5");
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs)), AckOnly());
    // The progress syncer's first pull for the session goes unanswered for a
    // minute (keep-alives only): it holds a channel of the connection.
    Reply stall;
    for (int i = 0; i < 12; ++i) stall.push_back(KeepAliveNotice(5000));
    server.Script("pull_event", stall);
    ASSERT_EQ(daemon->Request(Msg({{"action", "resume"}, {"session_id", uint64_t{5}}})), AckOnly());
    ASSERT_TRUE(Eventually([&] { return Pulls(server, true).size() >= 1; }));

    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(daemon->Request(ConnectionRequest(1, server.port(), "reload_connection")), AckOnly());
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::seconds(15)) << "the pause of the syncers ends their pull within about a second";
    // And the syncers go on afterwards: the condition is pulled again.
    EXPECT_TRUE(Eventually([&] { return Pulls(server, true).size() >= 2; }));
}

TEST_F(ConnectionActionsTest, ReloadAndUnlinkInterruptTheWorkersOfThatConnectionOnly) {
    ASSERT_EQ(daemon->Request(ConnectionRequest(1, server.port())), AckOnly());
    ASSERT_EQ(daemon->Request(ConnectionRequest(2, server.port())), AckOnly());
    SessionDirs a(root, "a"), b(root, "b");
    ASSERT_EQ(daemon->Request(SessionRequest(5, a, 1)), AckOnly());
    ASSERT_EQ(daemon->Request(SessionRequest(6, b, 2)), AckOnly());
    // Paused sessions: no pulls and no first rescans; the fake workers take
    // the injected events all the same.
    workers.mode = FakeWorker::kHold;
    for (uint64_t id : {5, 6})
        ASSERT_EQ(daemon->Request(
                      Msg({{"action", "add_event"}, {"session_id", id}, {"type", "upload"}, {"path", "/f.txt"}})),
                  AckOnly());
    ASSERT_TRUE(Eventually([&] { return workers.taken >= 2; }));
    ASSERT_EQ(daemon->Request(ConnectionRequest(2, server.port(), "reload_connection")), AckOnly());
    EXPECT_EQ(workers.aborted.load(), 1);
    // The handed-back event is taken again; removing connection 1 takes the
    // other worker off its event.
    ASSERT_TRUE(Eventually([&] { return workers.taken >= 3; }));
    ASSERT_EQ(daemon->Request(Msg({{"action", "unlink_connection"}, {"connection_id", uint64_t{1}}})), AckOnly());
    EXPECT_EQ(workers.aborted.load(), 2);
    workers.mode = FakeWorker::kComplete;
}

}  // namespace
}  // namespace tidewell::testing
