// The channel types of a route and the proxy channels: ProxyChannel and
// ProxyTunnelChannel through proxies written for the test (the real squid
// has its own tests), with the lines they log.
#include "net/route_channel.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "base/logger.h"
#include "net/proxy_channel.h"
#include "net/proxy_tunnel_channel.h"
#include "net/tunnel_channel.h"
#include "support/loopback_server.h"
#include "support/route_test_util.h"
#include "support/stand_in_relay.h"
#include "support/temp_dir.h"
#include "support/test_proxies.h"

namespace {

using tidewell::testing::ExpectRoundTrip;
using tidewell::testing::LoopbackProxy;
using tidewell::testing::LoopbackTunnel;
using tidewell::testing::EchoServer;
using tidewell::testing::RelayScript;
using tidewell::testing::BasicAuthResponder;
using tidewell::testing::ScriptedProxy;
using tidewell::testing::StandInRelay;
using tidewell::testing::TempDir;


class RouteChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, dir_.file("log").c_str(), "", 50), 0);
    }
    void TearDown() override { Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50); }

    // Whether the log holds a line matching `pattern` (a regular
    // expression over one line).
    bool Logged(const std::string& pattern) const {
        std::string log = TempDir::read(dir_.file("log"));
        return std::regex_search(log, std::regex(pattern));
    }

    TempDir dir_;
    EchoServer echo_;
};

TEST_F(RouteChannelTest, TheRecordsPresentChooseTheType) {
    ProxyInfo proxy;
    TunnelInfo tunnel;
    // Only presence counts, not the flags.
    proxy.use_proxy = false;
    tunnel.use_tunnel = false;
    auto both = MakeRouteChannel(&proxy, &tunnel);
    auto proxy_only = MakeRouteChannel(&proxy, nullptr);
    auto tunnel_only = MakeRouteChannel(nullptr, &tunnel);
    auto direct = MakeRouteChannel(nullptr, nullptr);
    EXPECT_NE(dynamic_cast<ProxyTunnelChannel*>(both.get()), nullptr);
    EXPECT_NE(dynamic_cast<ProxyChannel*>(proxy_only.get()), nullptr);
    EXPECT_EQ(dynamic_cast<ProxyTunnelChannel*>(proxy_only.get()), nullptr);
    EXPECT_NE(dynamic_cast<TunnelChannel*>(tunnel_only.get()), nullptr);
    EXPECT_EQ(dynamic_cast<ProxyChannel*>(direct.get()), nullptr);
    EXPECT_EQ(dynamic_cast<TunnelChannel*>(direct.get()), nullptr);
    for (Channel* c : {both.get(), proxy_only.get(), tunnel_only.get(), direct.get()}) EXPECT_TRUE(c->IsClosed());
}

TEST_F(RouteChannelTest, ProxyChannelOpensThroughTheProxy) {
    ScriptedProxy proxy(BasicAuthResponder("alice", "secret"));
    ProxyChannel channel(LoopbackProxy(proxy.port()));
    ASSERT_EQ(channel.Open("127.0.0.1", echo_.port()), 0);
    EXPECT_EQ(channel.ProxyMethod(), PROXY_BASIC_AUTH);
    ExpectRoundTrip(channel, "through the proxy");
    EXPECT_EQ(channel.Open("127.0.0.1", echo_.port()), ERR_IO) << "already open";
    channel.Close();
    EXPECT_TRUE(channel.IsClosed());
    // The channel is reused for the next connection.
    ASSERT_EQ(channel.Open("127.0.0.1", echo_.port()), 0);
    ExpectRoundTrip(channel, "again");
    EXPECT_TRUE(Logged("\\[WARNING\\] proxy_channel\\.cpp\\([0-9]+\\): ProxyChannel::Open: socket [0-9]+ has been "
                       "connect to proxy \\(127\\.0\\.0\\.1:" +
                       std::to_string(proxy.port()) + "\\)\n"));
}

TEST_F(RouteChannelTest, ProxyChannelRefusedEverywhere) {
    ScriptedProxy proxy(BasicAuthResponder("alice", "secret"));
    ProxyChannel channel(LoopbackProxy(proxy.port(), "alice", "wrong"));
    EXPECT_EQ(channel.Open("127.0.0.1", echo_.port()), ERR_IO);
    EXPECT_TRUE(channel.IsClosed());
    EXPECT_TRUE(Logged("\\[ERROR\\] proxy_channel\\.cpp\\([0-9]+\\): ProxyChannel::Open: fail to connect to proxy "
                       "server \\(127\\.0\\.0\\.1:" +
                       std::to_string(proxy.port()) + "\\)\n"));
    EXPECT_EQ(channel.Open(nullptr, 1), ERR_IO);
    EXPECT_EQ(channel.Open("127.0.0.1", 0), ERR_IO);
}

TEST_F(RouteChannelTest, ProxyTunnelChannelThroughProxyAndRelay) {
    ScriptedProxy proxy(BasicAuthResponder("alice", "secret"));
    StandInRelay relay;
    ProxyTunnelChannel channel(LoopbackProxy(proxy.port()), LoopbackTunnel(relay.port()));
    ASSERT_EQ(channel.Open("127.0.0.1", echo_.port()), 0);
    ExpectRoundTrip(channel, "proxy, then relay, then the target");
    channel.Close();
    ASSERT_TRUE(relay.WaitConnectionsDone(1));
    EXPECT_TRUE(relay.Seen()[0].token_ok);
    EXPECT_EQ(proxy.Seen().back().head.compare(0, 18 + std::to_string(relay.port()).size(),
                                               "CONNECT 127.0.0.1:" + std::to_string(relay.port())),
              0)
        << "the proxy was asked for the relay";
    // Success is logged at error level too, with the line number twice.
    EXPECT_TRUE(Logged("\\[ERROR\\] proxy_tunnel_channel\\.cpp\\(([0-9]+)\\): ProxyTunnelChannel\\[\\1\\]: ret = 0\n"));
}

TEST_F(RouteChannelTest, ProxyTunnelChannelFailures) {
    ScriptedProxy proxy(BasicAuthResponder("alice", "secret"));
    StandInRelay refusing({RelayScript::Reply::kStatus, 5, 0});
    {
        ProxyTunnelChannel channel(LoopbackProxy(proxy.port()), LoopbackTunnel(refusing.port()));
        EXPECT_EQ(channel.Open("127.0.0.1", echo_.port()), ERR_IO);
        EXPECT_TRUE(channel.IsClosed());
        EXPECT_TRUE(Logged("\\[ERROR\\] proxy_tunnel_channel\\.cpp\\([0-9]+\\): CORVTunnelClientHandshake: failed, "
                           "code: 5\n"));
        EXPECT_TRUE(Logged("ProxyTunnelChannel\\[[0-9]+\\]: ret = -2\n"));
    }
    {
        ProxyTunnelChannel channel(LoopbackProxy(proxy.port(), "alice", "wrong"), LoopbackTunnel(refusing.port()));
        EXPECT_EQ(channel.Open("127.0.0.1", echo_.port()), ERR_IO);
        EXPECT_TRUE(Logged("\\[ERROR\\] proxy_tunnel_channel\\.cpp\\([0-9]+\\): Open proxy failed\n"));
    }
}

}  // namespace
