// Both handshakes over TLS, with the certificate given on the command line,
// and the plain forms beside them on the same server.
#include "server_fixture.h"
#include "support/ssl_test_pki.h"

namespace tidewell::server_test {
namespace {

class Tls : public ServerTest {
protected:
    std::vector<std::string> ServerArgs() override {
        testing::TestCert cert({"localhost", {"localhost"}, -3600, 86400, false}, nullptr);
        return {"--no-fsync", "--tls-cert", cert.WriteCert(dir_.file("cert.pem")), "--tls-key",
                cert.WriteKey(dir_.file("key.pem"))};
    }

    void RoundTrip(SyncClient& c, const std::string& path) {
        const std::string bytes = Content(700000, 3);
        PObject token;
        ASSERT_EQ(c.Run(SCMD_RESUME_TRANSFER, "resume_get_token", Members(), token), 0);
        PObject answer;
        ASSERT_EQ(c.Run(SCMD_RESUME_TRANSFER, "resume_upload",
                        ResumeMembers(path, bytes, File(bytes), bytes.size(), token["resume_token"].asString().str()),
                        answer),
                  0);
        ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
        std::string into = dir_.file("down" + path.substr(1));
        ASSERT_EQ(Download(c, path, 0, Token(c), 0, into, answer), 0);
        EXPECT_EQ(testing::TempDir::read(into), bytes);
        PObject pulled = Pull(c, 0);
        EXPECT_FALSE(pulled.hasMember("error"));
    }
};

TEST_F(Tls, BothHandshakesEncryptTheChannel) {
    for (SyncClient::Handshake form : {SyncClient::Handshake::TwoStep, SyncClient::Handshake::OneStep}) {
        SyncClient c(server_->port());
        PObject answer;
        ASSERT_EQ(c.Connect(kToken, 1, true, form, &answer), 0) << answer.toString().c_str();
        EXPECT_GT(answer["alive"].asInteger(), 0u);
        RoundTrip(c, form == SyncClient::Handshake::TwoStep ? "/two" : "/one");
        // Encrypted once only.
        PObject again;
        ASSERT_EQ(c.Run(SCMD_REQUEST_SSL_2, "encrypt_channel", PObject(), again), 0);
        EXPECT_EQ(Code(again), 12290u);
        PObject members = testing::SessionMembers(kToken, 1);
        members["do_ssl"] = true;
        again.clear();
        ASSERT_EQ(c.Run(SCMD_REQUEST_CONNECT, "connect", members, again), 0);
        EXPECT_EQ(Code(again), 12290u);
    }
    auto plain = Client();
    RoundTrip(*plain, "/plain");
    EXPECT_EQ(Ls().size(), 3u);
}

TEST_F(Tls, AClientThatDropsTheHandshakeLeavesOthersServed) {
    SyncClient c(server_->port());
    ASSERT_EQ(c.Open(), 0);
    PObject answer;
    ASSERT_EQ(c.Run(SCMD_REQUEST_SSL_2, "encrypt_channel", PObject(), answer), 0);
    EXPECT_FALSE(answer.hasMember("error"));
    c.Close();  // no TLS handshake follows
    SyncClient other(server_->port());
    ASSERT_EQ(other.Connect(kToken, 1, true, SyncClient::Handshake::TwoStep), 0);
    EXPECT_FALSE(Pull(other, 0).hasMember("error"));
}

}  // namespace
}  // namespace tidewell::server_test
