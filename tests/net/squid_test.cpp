// The proxy channels against a real squid started for each test: without
// authentication, with Basic (right and wrong password) and with NTLM
// (through squid's fake helper, which takes any password), each tunnel
// carrying data to an echo server or the scripted sync server, directly or
// through the stand-in relay.
// Squid's access log shows what it received.
#include <gtest/gtest.h>

#include <string>

#include "net/proxy_channel.h"
#include "net/proxy_client.h"
#include "net/proxy_tunnel_channel.h"
#include "net/connection.h"
#include "protocol/proto_common.h"
#include "protocol/server_session.h"
#include "support/loopback_server.h"
#include "support/route_test_util.h"
#include "support/scripted_server.h"
#include "support/squid_proxy.h"
#include "support/stand_in_relay.h"

namespace {

using tidewell::testing::ExpectRoundTrip;
using tidewell::testing::LoopbackProxy;
using tidewell::testing::LoopbackTunnel;
using tidewell::testing::EchoServer;
using tidewell::testing::ScriptedServer;
using tidewell::testing::SquidOptions;
using tidewell::testing::SquidProxy;
using tidewell::testing::StandInRelay;

// Starts squid with `options`, or skips the test when squid is missing.
#define START_SQUID(var, options)                                        \
    std::string why_##var;                                               \
    if (!SquidProxy::Available(options, &why_##var)) GTEST_SKIP() << why_##var; \
    SquidProxy var(options);                                             \
    ASSERT_TRUE(var.ok()) << var.error()

class SquidTest : public ::testing::Test {
protected:
    // The access log's line for a tunnel to `port` with `result` (such as
    // "TCP_TUNNEL/200"), or "".
    static std::string LogLine(const SquidProxy& squid, const std::string& result, int port, int lines) {
        std::string log = squid.AccessLog(lines);
        std::string key = result + " CONNECT 127.0.0.1:" + std::to_string(port) + " ";
        size_t at = log.find(key);
        if (at == std::string::npos) return "";
        size_t start = log.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        return log.substr(start, log.find('\n', at) - start);
    }

    EchoServer echo_;
};

TEST_F(SquidTest, OpenProxyTunnelsWithoutCredentials) {
    START_SQUID(squid, SquidOptions{});
    ProxyChannel channel(LoopbackProxy(squid.port(), "alice", "secret"));
    ASSERT_EQ(channel.Open("127.0.0.1", echo_.port()), 0);
    EXPECT_EQ(channel.ProxyMethod(), PROXY_NO_AUTH);
    ExpectRoundTrip(channel, "through squid, no authentication");
    channel.Close();

    StandInRelay relay;
    ProxyTunnelChannel tunneled(LoopbackProxy(squid.port(), "alice", "secret"), LoopbackTunnel(relay.port()));
    ASSERT_EQ(tunneled.Open("127.0.0.1", echo_.port()), 0);
    ExpectRoundTrip(tunneled, "through squid and the relay");
    tunneled.Close();

    EXPECT_NE(LogLine(squid, "TCP_TUNNEL/200", echo_.port(), 2), "");
    EXPECT_NE(LogLine(squid, "TCP_TUNNEL/200", relay.port(), 2), "");
    EXPECT_EQ(squid.AccessLog().find("auth=Basic"), std::string::npos) << "no password sent:\n" << squid.AccessLog();
}

TEST_F(SquidTest, BasicAuthentication) {
    SquidOptions options;
    options.basic = true;
    options.users = {{"alice", "secret"}};
    START_SQUID(squid, options);

    ProxyChannel channel(LoopbackProxy(squid.port(), "alice", "secret"));
    ASSERT_EQ(channel.Open("127.0.0.1", echo_.port()), 0);
    EXPECT_EQ(channel.ProxyMethod(), PROXY_BASIC_AUTH);
    ExpectRoundTrip(channel, "through squid with Basic");
    channel.Close();
    std::string tunnel = LogLine(squid, "TCP_TUNNEL/200", echo_.port(), 1);
    EXPECT_NE(tunnel.find("user=alice auth=Basic"), std::string::npos) << tunnel;

    ProxyChannel wrong(LoopbackProxy(squid.port(), "alice", "not-the-password"));
    EXPECT_EQ(wrong.Open("127.0.0.1", echo_.port() + 0), ERR_IO);
    EXPECT_TRUE(wrong.IsClosed());

    StandInRelay relay;
    ProxyTunnelChannel tunneled(LoopbackProxy(squid.port(), "alice", "secret"), LoopbackTunnel(relay.port()));
    ASSERT_EQ(tunneled.Open("127.0.0.1", echo_.port()), 0);
    ExpectRoundTrip(tunneled, "through squid with Basic and the relay");
    tunneled.Close();
    EXPECT_NE(LogLine(squid, "TCP_TUNNEL/200", relay.port(), 2), "");

    // The sync handshake and a request through the connection's pool, whose
    // channels the route's records choose.
    ScriptedServer server;
    ConnectionInfo info;
    info.conn_id = 1;
    info.server_ip = "127.0.0.1";
    info.server_port = server.port();
    info.session = "tok-5";
    info.use_ssl = false;
    ProxyInfo proxy = LoopbackProxy(squid.port(), "alice", "secret");
    const TunnelInfo relay_route = LoopbackTunnel(relay.port());
    for (const TunnelInfo* route_tunnel : {static_cast<const TunnelInfo*>(nullptr), &relay_route}) {
        Connection connection(info, &proxy, route_tunnel);
        PObject request;
        InitRequest(request, "list");
        PObject response;
        EXPECT_EQ(RunPooledRequest(connection, 2, SCMD_EVT_PULL, request, response, SyncerSessionForm(nullptr)), 0);
        EXPECT_EQ(AliveSeconds(response), 300u);
    }
    server.Stop();
    EXPECT_EQ(server.CountAction("connect"), 2u);
    EXPECT_EQ(server.CountAction("list"), 2u);
    EXPECT_NE(LogLine(squid, "TCP_TUNNEL/200", server.port(), 4), "");

    std::string log = squid.AccessLog();
    // Squid checked the wrong password and refused it.
    EXPECT_NE(log.find("TCP_DENIED/407 CONNECT 127.0.0.1:" + std::to_string(echo_.port()) + " user=alice auth=Basic"),
              std::string::npos)
        << log;
}

TEST_F(SquidTest, NtlmAuthentication) {
    SquidOptions options;
    options.ntlm = true;
    START_SQUID(squid, options);

    ProxyChannel channel(LoopbackProxy(squid.port(), "alice", "any"));
    ASSERT_EQ(channel.Open("127.0.0.1", echo_.port()), 0);
    EXPECT_EQ(channel.ProxyMethod(), PROXY_NTLM_AUTH) << "NTLMv1 comes first among the methods that succeed";
    ExpectRoundTrip(channel, "through squid with NTLM");
    channel.Close();
    std::string tunnel = LogLine(squid, "TCP_TUNNEL/200", echo_.port(), 1);
    EXPECT_NE(tunnel.find("user=CORP\\alice"), std::string::npos) << "DOMAIN\\user as sent: " << tunnel;

    // NTLMv2 alone, as the library offers it.
    PROXY_SERVER_INFO server{"127.0.0.1", static_cast<uint16_t>(squid.port())};
    PROXY_TARGET_INFO target{"127.0.0.1", static_cast<uint16_t>(echo_.port())};
    PROXY_AUTH_INFO auth{"bob", "any", "corp", "ws-7", PROXY_NTLMv2_AUTH};
    int sock = CORVProxyTunnelOpen(&server, &target, &auth);
    ASSERT_GE(sock, 0);
    // The library's socket is non-blocking; a channel adopts it as it is.
    Channel adopted;
    ASSERT_EQ(adopted.Open(sock, false), 0);
    ExpectRoundTrip(adopted, "through squid with NTLMv2");
    adopted.Close();

    std::string log = squid.AccessLog(2);
    EXPECT_NE(log.find("user=CORP\\bob"), std::string::npos) << log;
    EXPECT_EQ(log.find("auth=Basic"), std::string::npos) << "a proxy offering only NTLM never gets the password";
}

}  // namespace
