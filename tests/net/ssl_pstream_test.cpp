// Tagged-stream messages with file bodies over a converted channel: the
// stream code above the channel is the same for plain and SSL connections.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "net/channel.h"
#include "support/ssl_test_pki.h"
#include "ssl_test_server.h"
#include "support/temp_dir.h"
#include "stream/pstream.h"

namespace {

using tidewell::testing::CertOptions;
using tidewell::testing::TcpListener;
using tidewell::testing::TempDir;
using tidewell::testing::TestCert;

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

PObject::binary_type WholeFile(const std::string& path, uint64_t size) {
    PObject::binary_type b;
    b.path = path.c_str();
    b.offset = 0;
    b.length = size;
    return b;
}

TEST(SslPStream, LargeBinariesTravelBothWays) {
    TempDir dir;
    TestCert ca({"Tidewell Test CA", {}, -3600, 86400, true}, nullptr);
    TestCert leaf({"server.test", {"server.test"}}, &ca);
    Channel::SetVerifyCAPath(ca.WriteCert(dir.file("ca.pem")).c_str());
    Channel::SetCERTPath(leaf.WriteCert(dir.file("server.pem")));
    Channel::SetPriKeyPath(leaf.WriteKey(dir.file("server.key")));

    const std::string up = Pattern(2 * 1024 * 1024 + 123, 5);
    const std::string down = Pattern(1024 * 1024 + 7, 9);
    const std::string up_file = dir.write("up.bin", up);
    const std::string down_file = dir.write("down.bin", down);
    std::filesystem::create_directory(dir.file("inbox"));

    TcpListener listener;
    int server_convert = 1, server_recv = 1, server_send = 1;
    std::string server_got;
    std::thread server_thread([&] {
        Channel server;
        if (server.Open(listener.Accept(), true) != 0) return;
        server_convert = server.ConvertToSSLChannel(true);
        if (server_convert != 0) return;
        PStream stream;
        stream.SetDefaultRecvLocation(dir.file("inbox").c_str());
        PObject request;
        server_recv = stream.Recv(server, request);
        server_got = TempDir::read(request["data"].asBinary().path.c_str());
        PObject reply;
        reply["name"] = "down";
        reply["data"] = WholeFile(down_file, down.size());
        server_send = stream.Send(server, reply);
        char byte;
        server.Read(&byte, 1);  // until the client closes
        server.Close();
    });

    Channel client;
    ASSERT_EQ(client.Open("127.0.0.1", listener.port()), 0);
    client.SetAllowUntrust(false);
    client.SetSSLHostname("server.test");
    ASSERT_EQ(client.ConvertToSSLChannel(false), 0);
    PStream stream;
    PObject request;
    request["_action"] = "upload";
    request["data"] = WholeFile(up_file, up.size());
    EXPECT_EQ(stream.Send(client, request), 0);

    // The reply's binary goes where the receiving value names.
    PObject reply;
    reply["data"] = WholeFile(dir.file("received.bin"), 0);
    EXPECT_EQ(stream.Recv(client, reply), 0);
    client.Close();
    server_thread.join();

    EXPECT_EQ(server_convert, 0);
    EXPECT_EQ(server_recv, 0);
    EXPECT_EQ(server_send, 0);
    EXPECT_EQ(server_got.size(), up.size());
    EXPECT_TRUE(server_got == up);
    EXPECT_EQ(reply["name"].asString(), "down");
    EXPECT_EQ(reply["data"].asBinary().length, down.size());
    EXPECT_TRUE(TempDir::read(dir.file("received.bin")) == down);
}

}  // namespace
