// tidewell-ctl probe as a user runs it: against the scripted sync server,
// directly and through a proxy, the stand-in relay or both, in plain and in
// TLS, and with the failures it must report with exit status 1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl_runner.h"
#include "support/scripted_server.h"
#include "support/ssl_test_pki.h"
#include "support/stand_in_relay.h"
#include "support/temp_dir.h"
#include "support/test_proxies.h"

namespace tidewell::e2e {
namespace {

using testing::Answer;
using testing::BasicAuthResponder;
using testing::ScriptedProxy;
using testing::ScriptedServer;
using testing::StandInRelay;
using testing::TempDir;
using testing::TestCert;


class ProbeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        TestCert ca({"Tidewell Test CA", {}, -3600, 86400, true}, nullptr);
        TestCert server({"localhost", {"localhost"}}, &ca);
        ca_file_ = ca.WriteCert(dir_->file("ca.pem"));
        ScriptedServer::UseCertificate(server.WriteCert(dir_->file("server.pem")),
                                       server.WriteKey(dir_->file("server.key")));
    }
    static void TearDownTestSuite() { delete dir_; }
    void TearDown() override { server_.Stop(); }

    std::vector<std::string> Args(std::vector<std::string> extra) const {
        std::vector<std::string> args{"probe", "--server", "localhost:" + std::to_string(server_.port()), "--token",
                                      "tok-1", "--view", "7"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    static TempDir* dir_;
    static std::string ca_file_;
    ScriptedServer server_;
};

TempDir* ProbeTest::dir_ = nullptr;
std::string ProbeTest::ca_file_;

TEST_F(ProbeTest, RoutesThatAdmitTheChannel) {
    ScriptedProxy proxy(BasicAuthResponder("alice", "secret"));
    StandInRelay relay;
    const std::string p = "127.0.0.1:" + std::to_string(proxy.port());
    const std::string r = "127.0.0.1:" + std::to_string(relay.port());
    const std::string s = "127.0.0.1:" + std::to_string(server_.port());
    const std::vector<std::string> proxy_args{"--proxy", p, "--proxy-user", "alice", "--proxy-password", "secret"};
    struct Case {
        const char* name;
        std::vector<std::string> extra;
        std::vector<std::string> lines;
    } cases[] = {
        {"direct, plain", {}, {"route: direct to server " + s, "tls: off"}},
        {"direct, TLS verified", {"--tls", "--ca", ca_file_},
         {"tls: TLSv1.3, certificate verified for localhost"}},
        {"direct, TLS unchecked", {"--tls", "--allow-untrusted"},
         {"tls: TLSv1.3, certificate not checked (--allow-untrusted; a check would say: "}},
        {"through the proxy", proxy_args, {"route: proxy " + p + ", then server " + s, "proxy method: BASIC Auth"}},
        {"through the relay", {"--tunnel", r, "--tls", "--ca", ca_file_},
         {"route: relay " + r + ", then server " + s, "certificate verified for localhost"}},
        {"through the proxy and the relay", [&] {
             std::vector<std::string> a = proxy_args;
             a.insert(a.end(), {"--tunnel", r});
             return a;
         }(), {"route: proxy " + p + ", then relay " + r + ", then server " + s, "proxy method: BASIC Auth"}},
    };
    for (const Case& c : cases) {
        Output o = run_ctl(Args(c.extra));
        EXPECT_EQ(o.status, 0) << c.name << "\n" << o.out << o.err;
        for (const std::string& line : c.lines) EXPECT_NE(o.out.find(line), std::string::npos) << c.name << "\n" << o.out;
        EXPECT_NE(o.out.find("server build: 4242\nalive: 300\nresult: ok\n"), std::string::npos) << c.name << o.out;
    }
    // Each probe sent "connect" with the token and the view.
    size_t connects = 0;
    for (const auto& request : server_.requests()) {
        if (request.request["action"].asString() != "connect") continue;
        ++connects;
        EXPECT_EQ(request.request["session"].asString(), "tok-1");
        EXPECT_EQ(request.request["view_id"].asUInt64(), 7u);
    }
    EXPECT_EQ(connects, sizeof cases / sizeof cases[0]);
    EXPECT_TRUE(server_.problems().empty());
}

TEST_F(ProbeTest, FailuresExitWithTheResultCode) {
    PObject refused;
    refused["error"]["code"] = uint64_t{8193};  // session missing
    refused["alive"] = uint64_t{300};
    server_.Script("connect", {Answer(refused)});
    Output o = run_ctl(Args({}));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("probe failed: the server refused the channel"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(": -6 (Authentication failure)"), std::string::npos) << o.err;

    PObject closed;
    closed["alive"] = uint64_t{0};
    server_.Script("connect", {Answer(closed)});
    o = run_ctl(Args({}));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("alive: 0\n"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("an alive of 0"), std::string::npos) << o.err;

    o = run_ctl(Args({"--tls"}));  // the test CA is not in the system store
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("no TLS session with the server"), std::string::npos) << o.err;

    StandInRelay refusing({testing::RelayScript::Reply::kStatus, 5, 0});
    o = run_ctl(Args({"--tunnel", "127.0.0.1:" + std::to_string(refusing.port())}));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("the route to the server could not be opened"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("-2 (I/O error)"), std::string::npos) << o.err;

    o = run_ctl({"probe", "--server", "localhost:1", "--token", "t"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("-2 (I/O error)"), std::string::npos) << o.err;
}

TEST_F(ProbeTest, UsageErrors) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"probe"},
             {"probe", "--server", "localhost", "--token", "t"},
             {"probe", "--server", "localhost:0", "--token", "t"},
             {"probe", "--server", "localhost:5006"},
             {"probe", "--server", "localhost:5006", "--token", "t", "--proxy-user", "u"},
             {"probe", "--server", "localhost:5006", "--token", "t", "--view", "x"},
             {"probe", "--server", "localhost:5006", "--token", "t", "--bogus"},
         }) {
        Output o = run_ctl(args);
        EXPECT_EQ(o.status, 2) << args.back();
        EXPECT_NE(o.err.find("usage: "), std::string::npos);
    }
}

}  // namespace
}  // namespace tidewell::e2e
