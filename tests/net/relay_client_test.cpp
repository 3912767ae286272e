// The relay client and TunnelChannel against the stand-in relay: the reply
// cases over TLS 1.3 and 1.2, the faults a relay can show, the refusal of
// a target too long for the request, and a TLS session with the target
// running inside the tunnel.
#include "net/relay_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "base/logger.h"
#include "net/connection.h"
#include "net/relay_upgrade.h"
#include "net/tunnel_channel.h"
#include "protocol/proto_common.h"
#include "protocol/server_session.h"
#include "support/ssl_test_pki.h"
#include "ssl_test_server.h"
#include "support/loopback_server.h"
#include "support/scripted_server.h"
#include "support/route_test_util.h"
#include "support/stand_in_relay.h"
#include "support/temp_dir.h"

namespace {

using tidewell::testing::ExpectRoundTrip;
using tidewell::testing::LoopbackTunnel;
using tidewell::testing::CertOptions;
using tidewell::testing::ConnectLoopback;
using tidewell::testing::EchoServer;
using tidewell::testing::LoopbackServer;
using tidewell::testing::RelayScript;
using tidewell::testing::ScriptedServer;
using tidewell::testing::RelaySeen;
using tidewell::testing::StandInRelay;
using tidewell::testing::TempDir;
using tidewell::testing::TestCert;
using tidewell::testing::TlsTestServer;
using Clock = std::chrono::steady_clock;
using Reply = RelayScript::Reply;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class RelayClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, dir_.file("log").c_str(), "", 50), 0);
    }
    void TearDown() override { Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50); }

    std::string Log() const { return TempDir::read(dir_.file("log")); }

    // The relay part of a tunnel open, on a fresh connection to `relay`.
    static int Upgrade(const StandInRelay& relay, const char* host, int port, uint32_t channel_timeout = 20) {
        int fd = ConnectLoopback(relay.port());
        EXPECT_GE(fd, 0);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        int code = RunRelayUpgrade(fd, host, port, timeval{1, 0}, channel_timeout, nullptr,
                                   [](RelayUpgradeStep, int) {});
        close(fd);
        return code;
    }

    TempDir dir_;
    EchoServer echo_;
};

TEST_F(RelayClientTest, ReplyCases) {
    int unreachable;
    {
        LoopbackServer gone([](int) {});
        unreachable = gone.port();
    }
    struct Case {
        const char* name;
        RelayScript script;
        int port;
        int result;
    } cases[] = {
        {"status 0 over TLS 1.3", {Reply::kNormal, 0, TLS1_3_VERSION}, echo_.port(), 0},
        {"status 0 over TLS 1.2", {Reply::kNormal, 0, TLS1_2_VERSION}, echo_.port(), 0},
        {"status 5", {Reply::kStatus, 5, 0}, echo_.port(), 5},
        {"the relay cannot reach the target", {Reply::kNormal, 0, 0}, unreachable,
         tidewell::testing::kRelayStatusTargetUnreachable},
        {"close before the reply", {Reply::kCloseBeforeReply, 0, 0}, echo_.port(), RELAY_ERR_IO},
        {"no status line", {Reply::kNoStatusLine, 0, 0}, echo_.port(), RELAY_NO_STATUS},
        {"status header in lower case", {Reply::kLowerCaseHeader, 0, 0}, echo_.port(), RELAY_NO_STATUS},
        {"one byte per TLS record", {Reply::kOneBytePerRecord, 0, TLS1_3_VERSION}, echo_.port(), 0},
    };
    for (const Case& c : cases) {
        StandInRelay relay(c.script);
        EXPECT_EQ(Upgrade(relay, "127.0.0.1", c.port), c.result) << c.name;
        ASSERT_TRUE(relay.WaitConnectionsDone(1)) << c.name;
        RelaySeen seen = relay.Seen()[0];
        EXPECT_TRUE(seen.request) << c.name;
        EXPECT_TRUE(seen.token_ok) << c.name << ": the relay read the token";
        EXPECT_EQ(seen.target_host, "127.0.0.1") << c.name;
        EXPECT_EQ(seen.target_port, c.port) << c.name;
    }
}

TEST_F(RelayClientTest, SilentRelayTimesOutAfterTheChannelTimeout) {
    StandInRelay relay({Reply::kSilence, 0, 0});
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Upgrade(relay, "127.0.0.1", echo_.port(), 2), RELAY_ERR_TIMEOUT);
    double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 1.9);
    EXPECT_LT(elapsed, 6.0);
}

TEST_F(RelayClientTest, RequestTooLongForItsBufferIsRefusedBeforeSending) {
    StandInRelay relay;
    std::string host(400, 'h');
    EXPECT_EQ(Upgrade(relay, host.c_str(), 443), RELAY_ERR_IO);
    std::string name_with_break = "a\r\nX-Target-Host: evil";
    EXPECT_EQ(Upgrade(relay, name_with_break.c_str(), 443), RELAY_ERR_IO);
    ASSERT_TRUE(relay.WaitConnectionsDone(2));
    for (const RelaySeen& seen : relay.Seen()) {
        EXPECT_TRUE(seen.handshake);
        EXPECT_FALSE(seen.request) << "nothing was sent";
    }
    // The longest host name DNS allows fits.
    char request[2048];
    size_t len = 0;
    EXPECT_EQ(CORVTunnelBuildRequest(std::string(253, 'h').c_str(), 65535, request, sizeof request, &len), 0);
    EXPECT_LE(len, kRelayRequestLimit);
}

TEST_F(RelayClientTest, TunnelChannelCarriesPlainBytesAndATlsSessionWithTheTarget) {
    TempDir pki;
    TestCert cert(CertOptions{"target.test", {"target.test"}}, nullptr);
    std::string cert_file = cert.WriteCert(pki.file("t.pem"));
    std::string key_file = cert.WriteKey(pki.file("t.key"));
    for (int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        StandInRelay relay({Reply::kNormal, 0, version});
        {
            TunnelChannel channel(LoopbackTunnel(relay.port()));
            ASSERT_EQ(channel.Open("127.0.0.1", echo_.port()), 0);
            ExpectRoundTrip(channel, "plain bytes through the relay");
            channel.Close();
        }
        {
            // The target speaks TLS of its own over the same TCP stream,
            // as the sync server does after the session asks for it.
            TlsTestServer target(cert_file, key_file);
            TunnelChannel channel(LoopbackTunnel(relay.port()));
            ASSERT_EQ(channel.Open("127.0.0.1", target.port()), 0);
            ASSERT_EQ(channel.ConvertToSSLChannel(false), 0);
            ExpectRoundTrip(channel, "inside the target's TLS");
            channel.Close();
            EXPECT_TRUE(target.Join());
        }
        ASSERT_TRUE(relay.WaitConnectionsDone(2));
        for (const RelaySeen& seen : relay.Seen()) EXPECT_EQ(seen.status_sent, 0);
    }
}

TEST_F(RelayClientTest, SyncHandshakeAndPooledRequestsRunOverTheTunnel) {
    TestCert ca({"Tidewell Test CA", {}, -3600, 86400, true}, nullptr);
    TestCert cert({"sync.test", {"sync.test"}}, &ca);
    std::string ca_file = ca.WriteCert(dir_.file("ca.pem"));
    ScriptedServer::UseCertificate(cert.WriteCert(dir_.file("sync.pem")), cert.WriteKey(dir_.file("sync.key")));
    Channel::SetVerifyCAPath(ca_file.c_str());
    for (int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        for (bool use_ssl : {false, true}) {
            SCOPED_TRACE(std::string(version == TLS1_3_VERSION ? "TLS 1.3" : "TLS 1.2") + " relay, " +
                         (use_ssl ? "TLS" : "plain") + " session");
            ScriptedServer server;
            StandInRelay relay({Reply::kNormal, 0, version});
            ConnectionInfo info;
            info.conn_id = 1;
            info.server_ip = "127.0.0.1";
            info.server_port = server.port();
            info.server_name = "sync.test";
            info.session = "tok-9";
            info.use_ssl = use_ssl;
            info.ssl_allow_untrust = false;
            TunnelInfo tunnel = LoopbackTunnel(relay.port());

            TunnelChannel channel(tunnel);
            EXPECT_EQ(RequestChannel(channel, info, 3, SyncerSessionForm(nullptr)), 0);
            channel.Close();

            // The pool builds tunnel channels for the connection's route.
            Connection connection(info, nullptr, &tunnel);
            PObject request;
            InitRequest(request, "list");
            PObject response;
            EXPECT_EQ(RunPooledRequest(connection, 3, SCMD_EVT_PULL, request, response, SyncerSessionForm(nullptr)),
                      0);
            EXPECT_EQ(AliveSeconds(response), 300u);
            server.Stop();
            EXPECT_TRUE(server.problems().empty());
            std::vector<std::string> actions = server.actions();
            EXPECT_EQ(std::count(actions.begin(), actions.end(), "connect"), 2);
            for (const auto& r : server.requests()) {
                bool before_tls = r.request["action"].asString() == "encrypt_channel";
                EXPECT_EQ(r.under_tls, use_ssl && !before_tls) << r.request.toString().c_str();
            }
            EXPECT_TRUE(relay.WaitConnectionsDone(1));
        }
    }
}

TEST_F(RelayClientTest, TunnelChannelFailures) {
    int closed_port;
    {
        LoopbackServer gone([](int) {});
        closed_port = gone.port();
    }
    StandInRelay refusing({Reply::kStatus, 5, 0});
    StandInRelay closing({Reply::kCloseBeforeReply, 0, 0});
    StandInRelay normal;
    std::string long_host(400, 'h');
    struct Case {
        const char* name;
        int relay_port;
        const char* target;
        const char* logged;  // the text after "[ERROR] tunnel_channel.cpp(<line>): "
    } cases[] = {
        {"status 5", refusing.port(), "127.0.0.1", "CORVTunnelClientHandshake: failed, code: 5\n"},
        {"close before the reply", closing.port(), "127.0.0.1", "CORVTunnelClientHandshake: failed, code: -402\n"},
        {"host too long", normal.port(), long_host.c_str(), "CORVTunnelClientHandshake: failed, code: -402\n"},
        {"no relay", closed_port, "127.0.0.1", "Connect failed"},
        {"no target", normal.port(), nullptr, "Open: no target to reach through the tunnel\n"},
    };
    for (const Case& c : cases) {
        TunnelChannel channel(LoopbackTunnel(c.relay_port));
        EXPECT_EQ(channel.Open(c.target, echo_.port()), ERR_IO) << c.name;
        EXPECT_TRUE(channel.IsClosed()) << c.name;
        EXPECT_EQ(channel.Write("x", 1), ERR_IO) << c.name;
        std::string log = Log();
        std::string line = std::string("): ") + c.logged;
        size_t at = log.find(line);
        ASSERT_NE(at, std::string::npos) << c.name << "\n" << log;
        size_t start = log.rfind("[ERROR] tunnel_channel.cpp(", at);
        EXPECT_NE(start, std::string::npos) << c.name;
        EXPECT_EQ(log.find('\n', start), log.find('\n', at)) << c.name << ": on one line";
    }
}

TEST_F(RelayClientTest, AbortFlagEndsAWaitForTheRelay) {
    StandInRelay relay({Reply::kSilence, 0, 0});
    TunnelChannel channel(LoopbackTunnel(relay.port()));
    channel.SetTimeout(60);
    int abort_flag = 0;
    channel.SetFlag(&abort_flag);
    Clock::time_point set_at;
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        set_at = Clock::now();
        __atomic_store_n(&abort_flag, 1, __ATOMIC_RELAXED);
    });
    EXPECT_EQ(channel.Open("127.0.0.1", echo_.port()), ERR_IO);
    aborter.join();
    EXPECT_LT(SecondsSince(set_at), 1.5);
    EXPECT_TRUE(channel.IsClosed());
}

}  // namespace
