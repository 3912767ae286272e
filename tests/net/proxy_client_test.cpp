// The proxy client against proxies written for the test: the automatic
// mode's order of preference, Basic only after the proxy asks for it, NTLM
// answers checked by a proxy that recomputes them, crafted challenges, and
// proxies that refuse, close or stay silent.
#include "net/proxy_client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "net/base64.h"
#include "net/proxy_io.h"
#include "support/loopback_server.h"
#include "support/test_proxies.h"

namespace {

using tidewell::testing::EchoServer;
using tidewell::testing::LoopbackServer;
using tidewell::testing::NtlmProxyOptions;
using tidewell::testing::NtlmVerifyingProxy;
using tidewell::testing::ProxyRequestSeen;
using tidewell::testing::ScriptedProxy;

const char* const kOk = "HTTP/1.1 200 Connection established\r\n\r\n";

std::string Basic407(const char* scheme, bool close) {
    return std::string("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: ") + scheme +
           " realm=\"t\"\r\nContent-Type: text/html\r\nContent-Length: 4\r\n" +
           (close ? "Connection: close\r\n" : "") + "\r\nnope";
}

// Sends a few bytes through an open tunnel and expects them back from the
// echo server behind it.
void ExpectEcho(int sock) {
    ASSERT_GE(sock, 0);
    const char ping[] = "ping through the tunnel";
    ASSERT_EQ(send(sock, ping, sizeof ping, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof ping));
    char back[sizeof ping] = {};
    size_t got = 0;
    while (got < sizeof back) {
        pollfd p{sock, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        ssize_t n = recv(sock, back + got, sizeof back - got, 0);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(memcmp(back, ping, sizeof ping), 0);
}

class ProxyClientTest : public ::testing::Test {
protected:
    void SetUp() override { ProxySetWaitLimits({}); }
    void TearDown() override { ProxySetWaitLimits({}); }

    int Open(int proxy_port, PROXY_AUTH_TYPE type, const char* user, const char* password,
             PROXY_AUTH_TYPE* won = nullptr, const char* proxy_address = "127.0.0.1") {
        PROXY_SERVER_INFO server{proxy_address, static_cast<uint16_t>(proxy_port)};
        PROXY_TARGET_INFO target{"127.0.0.1", static_cast<uint16_t>(echo_.port())};
        PROXY_AUTH_INFO auth{user, password, "corp", "ws-7", type};
        return CORVProxyTunnelOpen(&server, &target, &auth, won);
    }

    static bool AnyBasic(const std::vector<ProxyRequestSeen>& seen) {
        for (const ProxyRequestSeen& s : seen) {
            if (s.head.find("Basic ") != std::string::npos) return true;
        }
        return false;
    }

    EchoServer echo_;
};

TEST_F(ProxyClientTest, AutomaticModeTakesNoAuthFirstAndClosesTheOtherTunnels) {
    ScriptedProxy proxy([](const std::string&, int) { return std::string(kOk); });
    PROXY_AUTH_TYPE won = PROXY_AUTO_AUTH;
    int sock = Open(proxy.port(), PROXY_AUTO_AUTH, "alice", "secret", &won);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(won, PROXY_NO_AUTH);
    ExpectEcho(sock);
    // Every method reached the proxy, each on its own connection, and the
    // three surplus tunnels were closed.
    EXPECT_EQ(proxy.accepted(), 4);
    EXPECT_TRUE(proxy.WaitConnectionsDone(3));
    EXPECT_FALSE(AnyBasic(proxy.Seen())) << "the password never travels to a proxy that needs none";
    CORVProxyTunnelClose(sock);
    EXPECT_TRUE(proxy.WaitConnectionsDone(4));
}

TEST_F(ProxyClientTest, BasicCredentialsOnlyAfterA407OfferingBasic) {
    const std::string good = "Proxy-Authorization: Basic " + Base64Encode("alice:secret", 12) + "\r\n";
    struct Case {
        const char* name;
        const char* scheme;
        bool close_after_407;
        const char* password;
        bool opens;
    } cases[] = {
        {"kept alive", "Basic", false, "secret", true},
        {"closed after the 407", "Basic", true, "secret", true},
        {"scheme in lower case", "basic", false, "secret", true},
        {"wrong password", "Basic", false, "wrong", false},
    };
    for (const Case& c : cases) {
        ScriptedProxy proxy([&](const std::string& head, int) {
            return head.find(good) != std::string::npos ? std::string(kOk) : Basic407(c.scheme, c.close_after_407);
        });
        PROXY_AUTH_TYPE won = PROXY_AUTO_AUTH;
        int sock = Open(proxy.port(), PROXY_AUTO_AUTH, "alice", c.password, &won);
        EXPECT_EQ(sock >= 0, c.opens) << c.name;
        if (sock >= 0) {
            EXPECT_EQ(won, PROXY_BASIC_AUTH) << c.name;
            ExpectEcho(sock);
            CORVProxyTunnelClose(sock);
        }
        // The Basic attempt asked without credentials first, then sent them
        // on the same connection or, when the proxy closed it, on a new one.
        ASSERT_TRUE(proxy.WaitConnectionsDone(c.close_after_407 ? 5 : 4)) << c.name;
        int credential_conn = -1;
        int credentials_sent = 0;
        for (const ProxyRequestSeen& s : proxy.Seen()) {
            if (s.head.find("Basic ") == std::string::npos) continue;
            ++credentials_sent;
            credential_conn = s.connection;
        }
        EXPECT_EQ(credentials_sent, 1) << c.name;
        int requests_on_it = 0;
        for (const ProxyRequestSeen& s : proxy.Seen()) requests_on_it += s.connection == credential_conn;
        EXPECT_EQ(requests_on_it, c.close_after_407 ? 1 : 2) << c.name;
        EXPECT_EQ(proxy.accepted(), c.close_after_407 ? 5 : 4) << c.name;
    }
}

TEST_F(ProxyClientTest, ProxyOfferingOnlyNtlmNeverSeesTheBasicPassword) {
    ScriptedProxy proxy([](const std::string&, int) { return Basic407("NTLM", false); });
    EXPECT_EQ(Open(proxy.port(), PROXY_AUTO_AUTH, "alice", "secret"), PROXY_ERR_AUTH);
    EXPECT_TRUE(proxy.WaitConnectionsDone(4));
    EXPECT_FALSE(AnyBasic(proxy.Seen()));
}

TEST_F(ProxyClientTest, NtlmAnswersAreCheckedByTheProxy) {
    struct Case {
        PROXY_AUTH_TYPE type;
        const char* password;
        bool opens;
        bool v2;
    } cases[] = {
        {PROXY_NTLM_AUTH, "Secr3t", true, false},
        {PROXY_NTLM_AUTH, "secr3t", false, false},
        {PROXY_NTLMv2_AUTH, "Secr3t", true, true},
        {PROXY_NTLMv2_AUTH, "Secret", false, true},
        {PROXY_AUTO_AUTH, "Secr3t", true, false},  // NTLMv1 comes before NTLMv2 in the table
    };
    for (const Case& c : cases) {
        NtlmVerifyingProxy proxy({"bob", "Secr3t", "corp", "ws-7", ""});
        PROXY_AUTH_TYPE won = PROXY_NO_AUTH;
        int sock = Open(proxy.port(), c.type, "bob", c.password, &won);
        EXPECT_EQ(sock >= 0, c.opens) << CORVProxyAuthName(c.type) << " " << c.password;
        if (sock >= 0) {
            EXPECT_EQ(won, c.v2 ? PROXY_NTLMv2_AUTH : PROXY_NTLM_AUTH);
            ExpectEcho(sock);
            CORVProxyTunnelClose(sock);
        }
        bool found = false;
        for (const auto& seen : proxy.Seen()) {
            if (seen.v2 != c.v2) continue;
            found = true;
            EXPECT_EQ(seen.verified, c.opens) << seen.why;
            if (c.opens) {
                EXPECT_EQ(seen.why, "");
            } else {
                EXPECT_NE(seen.why.find("differs"), std::string::npos) << seen.why;
            }
        }
        EXPECT_TRUE(found) << CORVProxyAuthName(c.type);
    }
}

TEST_F(ProxyClientTest, NtlmV2ClientNoncesAreFresh) {
    NtlmVerifyingProxy proxy({"bob", "pw", "corp", "ws-7", ""});
    for (int i = 0; i < 2; ++i) {
        int sock = Open(proxy.port(), PROXY_NTLMv2_AUTH, "bob", "pw");
        ASSERT_GE(sock, 0);
        CORVProxyTunnelClose(sock);
    }
    auto seen = proxy.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].client_nonce.size(), 8u);
    EXPECT_NE(seen[0].client_nonce, seen[1].client_nonce);
}

// A challenge of `size` bytes with a server challenge and, from 48 bytes
// on, a target information descriptor of `info_len` bytes at `info_offset`.
std::string CraftedChallenge(size_t size, uint16_t info_len = 0, uint32_t info_offset = 48) {
    std::string m(size, '\x11');
    memcpy(m.data(), "NTLMSSP\0\x02\x00\x00\x00", std::min<size_t>(size, 12));
    if (size >= 24) memcpy(m.data() + 20, "\x05\x82\x08\x00", 4);
    if (size >= 48) {
        m[40] = m[42] = static_cast<char>(info_len & 0xff);
        m[41] = m[43] = static_cast<char>(info_len >> 8);
        memcpy(m.data() + 44, &info_offset, 4);
    }
    return m;
}

TEST_F(ProxyClientTest, CraftedChallenges) {
    struct Case {
        const char* name;
        std::string challenge;
        bool opens;
    } cases[] = {
        {"24 bytes", CraftedChallenge(24), false},
        {"31 bytes", CraftedChallenge(31), false},
        {"40 bytes: no target information", CraftedChallenge(40), true},
        {"target information past the end", CraftedChallenge(60, 20311, 48), true},
        {"target information offset far outside", CraftedChallenge(60, 8, 0x55aa55aau), true},
        {"target information inside", CraftedChallenge(64, 16, 48), true},
    };
    for (const Case& c : cases) {
        NtlmVerifyingProxy proxy({"bob", "pw", "corp", "ws-7", c.challenge});
        int sock = Open(proxy.port(), PROXY_NTLMv2_AUTH, "bob", "pw");
        EXPECT_EQ(sock >= 0, c.opens) << c.name;
        if (sock >= 0) CORVProxyTunnelClose(sock);
        auto seen = proxy.Seen();
        if (!c.opens) {
            EXPECT_TRUE(seen.empty()) << c.name << ": no answer to a refused challenge";
        } else {
            ASSERT_EQ(seen.size(), 1u) << c.name;
            EXPECT_TRUE(seen[0].verified) << c.name << ": " << seen[0].why;
        }
    }
}

TEST_F(ProxyClientTest, ParameterChecks) {
    PROXY_SERVER_INFO server{"127.0.0.1", 3128};
    PROXY_SERVER_INFO no_proxy{"", 3128};
    PROXY_SERVER_INFO null_proxy{nullptr, 3128};
    PROXY_TARGET_INFO target{"127.0.0.1", 443};
    PROXY_TARGET_INFO empty_target{"", 443};
    PROXY_TARGET_INFO injecting{"h\r\nX-Evil: 1", 443};
    PROXY_AUTH_INFO auth{"u", "p", "d", "h", PROXY_AUTO_AUTH};
    PROXY_AUTH_INFO null_user{nullptr, "p", "d", "h", PROXY_AUTO_AUTH};
    PROXY_AUTH_INFO null_host{"u", "p", "d", nullptr, PROXY_BASIC_AUTH};
    EXPECT_EQ(CORVProxyTunnelOpen(nullptr, &target, &auth), PROXY_ERR_PARAM);
    EXPECT_EQ(CORVProxyTunnelOpen(&no_proxy, &target, &auth), PROXY_ERR_PARAM);
    EXPECT_EQ(CORVProxyTunnelOpen(&null_proxy, &target, &auth), PROXY_ERR_PARAM);
    EXPECT_EQ(CORVProxyTunnelOpen(&server, nullptr, &auth), PROXY_ERR_PARAM);
    EXPECT_EQ(CORVProxyTunnelOpen(&server, &empty_target, &auth), PROXY_ERR_PARAM);
    EXPECT_EQ(CORVProxyTunnelOpen(&server, &injecting, &auth), PROXY_ERR_PARAM);
    EXPECT_EQ(CORVProxyTunnelOpen(&server, &target, nullptr), PROXY_ERR_PARAM);
    EXPECT_EQ(CORVProxyTunnelOpen(&server, &target, &null_user), PROXY_ERR_PARAM);
    EXPECT_EQ(CORVProxyTunnelOpen(&server, &target, &null_host), PROXY_ERR_PARAM);
}

TEST_F(ProxyClientTest, EmptyUserNameLeavesOnlyTheNoAuthAttempt) {
    ScriptedProxy needs_basic([](const std::string&, int) { return Basic407("Basic", false); });
    EXPECT_EQ(Open(needs_basic.port(), PROXY_AUTO_AUTH, "", "secret"), PROXY_ERR_AUTH);
    EXPECT_TRUE(needs_basic.WaitAccepted(4)) << "every attempt connects before its parameter check";
    EXPECT_TRUE(needs_basic.WaitConnectionsDone(4));
    // Only the no-auth attempt sent a request; the others stopped at their
    // parameter check.
    EXPECT_EQ(needs_basic.Seen().size(), 1u);

    ScriptedProxy open([](const std::string&, int) { return std::string(kOk); });
    PROXY_AUTH_TYPE won = PROXY_AUTO_AUTH;
    int sock = Open(open.port(), PROXY_AUTO_AUTH, "", "", &won);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(won, PROXY_NO_AUTH);
    CORVProxyTunnelClose(sock);
}

TEST_F(ProxyClientTest, SocketZeroIsATunnel) {
    ScriptedProxy proxy([](const std::string&, int) { return std::string(kOk); });
    // With standard input closed, the attempt's socket is descriptor 0.
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    int sock = Open(proxy.port(), PROXY_NO_AUTH, "u", "p");
    if (sock != 0) {
        dup2(saved, 0);
        close(saved);
        FAIL() << "expected descriptor 0, got " << sock;
    }
    ExpectEcho(sock);
    CORVProxyTunnelClose(sock);
    dup2(saved, 0);
    close(saved);
}

TEST_F(ProxyClientTest, ProxiesThatRefuseCloseOrStaySilent) {
    ProxySetWaitLimits({200, 3});
    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); };

    int closed_port;
    {
        LoopbackServer gone([](int) {});
        closed_port = gone.port();
    }
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Open(closed_port, PROXY_AUTO_AUTH, "u", "p"), PROXY_ERR_AUTH) << "nothing listens";
    EXPECT_LT(seconds(start), 2.0);

    LoopbackServer closes([](int) {});
    EXPECT_EQ(Open(closes.port(), PROXY_AUTO_AUTH, "u", "p"), PROXY_ERR_AUTH) << "accepts and closes";

    ScriptedProxy refuses([](const std::string&, int) {
        return std::string("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    });
    EXPECT_EQ(Open(refuses.port(), PROXY_AUTO_AUTH, "u", "p"), PROXY_ERR_AUTH) << "403 to everything";

    LoopbackServer silent(tidewell::testing::DrainUntilClosed);
    start = Clock::now();
    EXPECT_EQ(Open(silent.port(), PROXY_AUTO_AUTH, "u", "p"), PROXY_ERR_AUTH) << "silent";
    double elapsed = seconds(start);
    EXPECT_GE(elapsed, 0.55) << "three waits of 200 ms for the status line";
    EXPECT_LT(elapsed, 5.0);

    EXPECT_EQ(Open(1, PROXY_AUTO_AUTH, "u", "p", nullptr, "proxy.invalid"), PROXY_ERR_AUTH) << "no such name";
}

}  // namespace
