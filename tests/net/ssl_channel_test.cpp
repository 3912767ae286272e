// The SSL layer against real TLS peers: an OpenSSL server on a thread of the
// test, with certificates made in the set-up.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "net/channel.h"
#include "support/ssl_test_pki.h"
#include "ssl_test_server.h"
#include "support/temp_dir.h"

namespace {

using tidewell::testing::CertOptions;
using tidewell::testing::TcpListener;
using tidewell::testing::TempDir;
using tidewell::testing::TestCert;
using tidewell::testing::TlsTestServer;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// Shows whether the SSL set is in use.
class ProbeChannel : public Channel {
public:
    bool is_ssl() const { return m_isSSL; }
};

// One certificate of the test PKI, written out with its key.
struct ServerIdentity {
    std::string cert;
    std::string key;
};

class SslChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        ca_ = new TestCert({"Tidewell Test CA", {}, -3600, 86400, true}, nullptr);
        ca_file_ = ca_->WriteCert(dir_->file("ca.pem"));
        Add("valid", {"server.test", {"server.test", "alt.test"}}, true);
        Add("wildcard", {"*.wild.test", {}}, true);
        Add("expired", {"server.test", {"server.test"}, -2 * 86400, -86400}, true);
        Add("selfsigned", {"server.test", {"server.test"}}, false);
        Add("san_match", {"wrong.test", {"other.test", "sanonly.test"}}, true);
        Add("no_cn", {"", {"nocn.test"}}, true);
        Add("no_names", {"", {}}, true);
        Add("nul_cn", {std::string("server.test\0.evil.test", 22), {}}, true);
    }
    static void TearDownTestSuite() {
        delete ca_;
        delete dir_;
    }

    static void Add(const std::string& name, const CertOptions& options, bool signed_by_ca) {
        TestCert cert(options, signed_by_ca ? ca_ : nullptr);
        identities_()[name] = {cert.WriteCert(dir_->file(name + ".pem")), cert.WriteKey(dir_->file(name + ".key"))};
    }
    static std::map<std::string, ServerIdentity>& identities_() {
        static std::map<std::string, ServerIdentity> m;
        return m;
    }
    static const ServerIdentity& Identity(const std::string& name) { return identities_().at(name); }

    void SetUp() override { Channel::SetVerifyCAPath(ca_file_.c_str()); }

    // Converts a channel connected to a TLS server presenting `identity`;
    // on success also proves one round trip through the converted channel.
    int ConvertAgainst(const std::string& identity, bool allow_untrust, const std::string& host) {
        TlsTestServer server(Identity(identity).cert, Identity(identity).key);
        ProbeChannel channel;
        if (channel.Open("127.0.0.1", server.port()) != 0) return 1;
        channel.SetAllowUntrust(allow_untrust);
        channel.SetSSLHostname(host.c_str());
        int ret = channel.ConvertToSSLChannel(false);
        EXPECT_EQ(channel.is_ssl(), ret == 0);
        EXPECT_FALSE(channel.IsClosed()) << "a failed conversion leaves the channel open";
        if (ret == 0) {
            char back[5] = {};
            EXPECT_EQ(channel.Write("ping!", 5), 0);
            EXPECT_EQ(channel.FlushWrite(0), 0);
            EXPECT_EQ(channel.Read(back, 5), 0);
            EXPECT_EQ(std::string(back, 5), "ping!");
        }
        channel.Close();
        return ret;
    }

    static TempDir* dir_;
    static TestCert* ca_;
    static std::string ca_file_;
};

TempDir* SslChannelTest::dir_ = nullptr;
TestCert* SslChannelTest::ca_ = nullptr;
std::string SslChannelTest::ca_file_;

TEST_F(SslChannelTest, AllowUntrustAcceptsAnyCertificateWithoutLookingAtIt) {
    // Not even a CA file is needed.
    Channel::SetVerifyCAPath("/nonexistent/ca.pem");
    for (const char* identity : {"valid", "wildcard", "expired", "selfsigned", "no_names"}) {
        EXPECT_EQ(ConvertAgainst(identity, true, "unrelated.example"), 0) << identity;
    }
}

TEST_F(SslChannelTest, VerifiedChainAndHostName) {
    struct Case {
        const char* identity;
        const char* host;
        int expected;
    } cases[] = {
        {"valid", "server.test", 0},
        {"valid", "SERVER.Test", 0},  // names compare ignoring case
        {"valid", "alt.test", 0},     // second alternative name
        {"valid", "", 0},             // no host name: the chain is enough
        {"valid", "other.test", ERR_SSL_VERIFY_FAIL},
        {"san_match", "sanonly.test", 0},  // the common name does not match, an alternative does
        {"no_cn", "nocn.test", 0},         // no common name at all
        {"no_names", "server.test", ERR_SSL_VERIFY_FAIL},
        {"wildcard", "a.wild.test", 0},
        {"wildcard", "A.WILD.TEST", 0},
        {"wildcard", "wild.test", 0},  // the bare domain
        {"wildcard", "a.b.wild.test", ERR_SSL_VERIFY_FAIL},
        {"wildcard", "a.tame.test", ERR_SSL_VERIFY_FAIL},
        {"expired", "server.test", ERR_SSL_VERIFY_FAIL},
        {"expired", "", ERR_SSL_VERIFY_FAIL},
        {"selfsigned", "server.test", ERR_SSL_VERIFY_FAIL},
        {"selfsigned", "", ERR_SSL_VERIFY_FAIL},
        {"nul_cn", "server.test", ERR_SSL_VERIFY_FAIL},  // a zero byte cannot shorten a name
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConvertAgainst(c.identity, false, c.host), c.expected) << c.identity << " as " << c.host;
    }
}

TEST_F(SslChannelTest, MissingCaFileIsASetUpFailure) {
    Channel::SetVerifyCAPath(dir_->file("missing-ca.pem").c_str());
    EXPECT_EQ(ConvertAgainst("valid", false, "server.test"), ERR_IO);
}

TEST_F(SslChannelTest, EmptyCaPathUsesTheSystemTrustStore) {
    // The system store is loaded (no set-up failure) but does not know the
    // test CA.
    Channel::SetVerifyCAPath("");
    EXPECT_EQ(ConvertAgainst("valid", false, "server.test"), ERR_SSL_VERIFY_FAIL);
}

TEST_F(SslChannelTest, StalledHandshakeTimesOutAfterTheChannelTimeout) {
    TcpListener silent;  // completes the TCP connection, never answers
    ProbeChannel channel;
    ASSERT_EQ(channel.Open("127.0.0.1", silent.port()), 0);
    channel.SetTimeout(2);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(channel.ConvertToSSLChannel(false), ERR_TIMEOUT);
    double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 1.9);
    EXPECT_LT(elapsed, 4.0);
    EXPECT_FALSE(channel.is_ssl());
    EXPECT_FALSE(channel.IsClosed());
}

TEST_F(SslChannelTest, AbortFlagEndsAHandshakeWithoutTimeLimitWithinASecond) {
    TcpListener silent;
    ProbeChannel channel;
    ASSERT_EQ(channel.Open("127.0.0.1", silent.port()), 0);
    channel.SetTimeout(0);
    int abort_flag = 0;
    channel.SetFlag(&abort_flag);
    Clock::time_point set_at;
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        set_at = Clock::now();
        SetAbortFlag(&abort_flag);
    });
    EXPECT_EQ(channel.ConvertToSSLChannel(false), ERR_INT);
    aborter.join();
    EXPECT_LT(SecondsSince(set_at), 1.5);
    EXPECT_FALSE(channel.is_ssl());
}

TEST_F(SslChannelTest, ConvertingTwiceIsHarmlessAndAClosedChannelIsRefused) {
    ProbeChannel closed;
    EXPECT_EQ(closed.ConvertToSSLChannel(false), ERR_IO);
    EXPECT_FALSE(closed.is_ssl());

    TlsTestServer server(Identity("valid").cert, Identity("valid").key);
    ProbeChannel channel;
    ASSERT_EQ(channel.Open("127.0.0.1", server.port()), 0);
    ASSERT_EQ(channel.ConvertToSSLChannel(false), 0);
    EXPECT_EQ(channel.ConvertToSSLChannel(false), 0);
    ASSERT_EQ(channel.WriteInt32(0xCAFEF00D), 0);
    ASSERT_EQ(channel.FlushWrite(0), 0);
    uint32_t back = 0;
    ASSERT_EQ(channel.ReadInt32(&back), 0);
    EXPECT_EQ(back, 0xCAFEF00Du);

    // Close returns the channel to the plain set.
    channel.Close();
    EXPECT_FALSE(channel.is_ssl());
    EXPECT_TRUE(channel.IsClosed());
    EXPECT_EQ(channel.Write("x", 1), ERR_IO);
    EXPECT_TRUE(server.Join());
}

TEST_F(SslChannelTest, LargeDataFlowsBothWaysThroughTheBufferedChannel) {
    const size_t up_size = 3 * Channel::kDefaultCapacity + 17;
    const std::string up = Pattern(up_size, 7);
    const std::string down = Pattern(2 * Channel::kDefaultCapacity + 5, 11);
    std::string received_up;
    TlsTestServer server(Identity("valid").cert, Identity("valid").key, [&](SSL* ssl) {
        received_up = TlsTestServer::ReadExactly(ssl, up_size + 8);
        std::string reply = received_up;
        std::reverse(reply.begin(), reply.end());
        TlsTestServer::WriteAll(ssl, reply + down);
        TlsTestServer::Drain(ssl);
    });
    Channel channel;
    ASSERT_EQ(channel.Open("127.0.0.1", server.port()), 0);
    channel.SetAllowUntrust(false);
    channel.SetSSLHostname("server.test");
    ASSERT_EQ(channel.ConvertToSSLChannel(false), 0);

    ASSERT_EQ(channel.WriteInt64(0x0102030405060708ull), 0);
    for (size_t at = 0; at < up.size(); at += 30000) {
        size_t n = std::min<size_t>(30000, up.size() - at);
        ASSERT_EQ(channel.Write(up.data() + at, n), 0);
    }
    ASSERT_EQ(channel.FlushWrite(0), 0);

    std::string reversed(up_size + 8, '\0');
    ASSERT_EQ(channel.Read(reversed.data(), reversed.size()), 0);
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(reversed.substr(0, 8), std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    EXPECT_TRUE(reversed.substr(8) == up);
    std::string tail(down.size(), '\0');
    ASSERT_EQ(channel.Read(tail.data(), tail.size()), 0);
    EXPECT_TRUE(tail == down);
    channel.Close();
    EXPECT_TRUE(server.Join());
    EXPECT_EQ(received_up.size(), up_size + 8);
}

TEST_F(SslChannelTest, HostNameIsSentForVirtualHostingButNotAnAddress) {
    struct Case {
        const char* host;
        const char* sent;
    } cases[] = {{"server.test", "server.test"}, {"127.0.0.1", ""}, {"::1", ""}, {"", ""}};
    for (const Case& c : cases) {
        std::string sent = "(none)";
        TlsTestServer server(Identity("valid").cert, Identity("valid").key, [&](SSL* ssl) {
            const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
            sent = name ? name : "";
            TlsTestServer::Drain(ssl);
        });
        Channel channel;
        ASSERT_EQ(channel.Open("127.0.0.1", server.port()), 0);
        channel.SetSSLHostname(c.host);
        EXPECT_EQ(channel.ConvertToSSLChannel(false), 0);
        channel.Close();
        EXPECT_TRUE(server.Join());
        EXPECT_EQ(sent, c.sent) << c.host;
    }
}

TEST_F(SslChannelTest, AcceptingSideServesAConnectingChannel) {
    Channel::SetCERTPath(Identity("valid").cert);
    Channel::SetPriKeyPath(Identity("valid").key);
    TcpListener listener;
    int server_result = 1;
    std::string server_got;
    std::thread server_thread([&] {
        Channel server;
        if (server.Open(listener.Accept(), true) != 0) return;
        server_result = server.ConvertToSSLChannel(true);
        if (server_result != 0) return;
        char buf[6] = {};
        if (server.Read(buf, 6) == 0) server_got.assign(buf, 6);
        server.Write("world!", 6);
        server.FlushWrite(0);
        // Wait for the client to close.
        server.Read(buf, 1);
        server.Close();
    });
    ProbeChannel client;
    ASSERT_EQ(client.Open("127.0.0.1", listener.port()), 0);
    client.SetAllowUntrust(false);
    client.SetSSLHostname("alt.test");
    EXPECT_EQ(client.ConvertToSSLChannel(false), 0);
    EXPECT_EQ(client.Write("hello!", 6), 0);
    EXPECT_EQ(client.FlushWrite(0), 0);
    char reply[6] = {};
    EXPECT_EQ(client.Read(reply, 6), 0);
    client.Close();
    server_thread.join();
    EXPECT_EQ(server_result, 0);
    EXPECT_EQ(server_got, "hello!");
    EXPECT_EQ(std::string(reply, 6), "world!");
}

TEST_F(SslChannelTest, AcceptingSideWithoutItsCertificateFails) {
    Channel::SetCERTPath(dir_->file("missing-cert.pem"));
    Channel::SetPriKeyPath(Identity("valid").key);
    TcpListener listener;
    Channel client;
    ASSERT_EQ(client.Open("127.0.0.1", listener.port()), 0);
    ProbeChannel server;
    ASSERT_EQ(server.Open(listener.Accept(), true), 0);
    EXPECT_EQ(server.ConvertToSSLChannel(true), ERR_IO);
    EXPECT_FALSE(server.is_ssl());
    EXPECT_FALSE(server.IsClosed());

    // A key that does not belong to the certificate is refused as well.
    Channel::SetCERTPath(Identity("valid").cert);
    Channel::SetPriKeyPath(Identity("wildcard").key);
    EXPECT_EQ(server.ConvertToSSLChannel(true), ERR_IO);
}

TEST_F(SslChannelTest, WritingToAPeerThatLeftFailsWithoutKillingTheProcess) {
    TlsTestServer server(Identity("valid").cert, Identity("valid").key, nullptr);  // leaves after the handshake
    Channel channel;
    ASSERT_EQ(channel.Open("127.0.0.1", server.port()), 0);
    ASSERT_EQ(channel.ConvertToSSLChannel(false), 0);
    EXPECT_TRUE(server.Join());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string block = Pattern(Channel::kDefaultCapacity, 3);
    int ret = 0;
    for (int i = 0; i < 200 && ret == 0; ++i) {
        ret = channel.Write(block.data(), block.size());
        if (ret == 0) ret = channel.FlushWrite(0);
    }
    EXPECT_LT(ret, 0);
    channel.Close();
}

TEST_F(SslChannelTest, PeerCloseDuringAReadIsAnIoError) {
    TlsTestServer server(Identity("valid").cert, Identity("valid").key,
                         [](SSL* ssl) { TlsTestServer::WriteAll(ssl, "abc"); });
    Channel channel;
    ASSERT_EQ(channel.Open("127.0.0.1", server.port()), 0);
    ASSERT_EQ(channel.ConvertToSSLChannel(false), 0);
    char buf[10] = {};
    size_t total = 0;
    EXPECT_EQ(channel.Read(buf, sizeof buf, total), ERR_IO);
    EXPECT_EQ(total, 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");
    channel.Close();
}

// The relay's short session on a bare socket: InitSSL, SSLHandshake, then
// DeinitSSL without a close notification, keeping the socket.
TEST_F(SslChannelTest, ShortSessionLeavesTheSocketOpenAfterDeinit) {
    std::string server_got;
    TlsTestServer server(Identity("selfsigned").cert, Identity("selfsigned").key,
                         [&](SSL* ssl) { server_got = TlsTestServer::ReadExactly(ssl, 5); });
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(server.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    ASSERT_EQ(Channel::InitSSL(ssl, ctx, false, true), 0);
    ASSERT_EQ(SSL_set_fd(ssl, fd), 1);
    ASSERT_EQ(Channel::SSLHandshake(ssl, timeval{1, 0}, 5, nullptr), 0);
    EXPECT_EQ(Channel::SSLWriteFd(ssl, "hello", 5, timeval{1, 0}, nullptr), 5);
    Channel::DeinitSSL(ssl, ctx, true);
    EXPECT_EQ(ssl, nullptr);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the socket must stay open";
    close(fd);
    EXPECT_TRUE(server.Join());
    EXPECT_EQ(server_got, "hello");
}

TEST_F(SslChannelTest, InitSslWithoutTheCaFileFailsAndLeavesNothing) {
    Channel::SetVerifyCAPath(dir_->file("missing-ca.pem").c_str());
    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    EXPECT_EQ(Channel::InitSSL(ssl, ctx, false, false), -1);
    EXPECT_EQ(ssl, nullptr);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(Channel::InitSSL(ssl, ctx, false, true), 0);
    Channel::DeinitSSL(ssl, ctx, false);
}

TEST(SslHostnameMatch, Table) {
    struct Case {
        const char* pattern;
        const char* host;
        bool match;
    } cases[] = {
        {"server.test", "server.test", true},
        {"Server.TEST", "sErver.test", true},
        {"server.test", "www.server.test", false},
        {"server.test", "server.tes", false},
        {"*", "anything", false},
        {"*", "", false},
        {"*.example.com", "www.example.com", true},
        {"*.example.com", "WWW.Example.COM", true},
        {"*.example.com", "example.com", true},  // the bare domain
        {"*.Example.com", "EXAMPLE.COM", true},
        {"*.example.com", "a.b.example.com", false},  // exactly one label
        {"*.example.com", "www.example.org", false},
        {"*.example.com", "wwwexample.com", false},
        {"*.example.com", "com", false},
        {"*.example.com", "localhost", false},  // a host without a dot
        {"*.", "a.", false},                    // a wildcard naming no domain
        {"*.", "", false},
        {"www.*.com", "www.example.com", false},  // only a leading wildcard counts
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Channel::checkCertHostnameMatch(c.pattern, c.host), c.match) << c.pattern << " vs " << c.host;
    }
}

}  // namespace
