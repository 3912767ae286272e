#include "protocol/proto_common.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "stream/pstream.h"

namespace {

// A channel over one end of a socket pair; the test reads the other end.
class FramingTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ASSERT_EQ(channel.Open(fds[0], true), 0);
        peer = fds[1];
    }
    void TearDown() override {
        channel.Close();
        close(peer);
    }
    // Everything the peer has received so far.
    std::string PeerBytes() {
        std::string out;
        char buf[4096];
        pollfd p{peer, POLLIN, 0};
        while (poll(&p, 1, 100) > 0) {
            ssize_t n = recv(peer, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, n);
        }
        return out;
    }

    Channel channel;
    int peer = -1;
};

TEST_F(FramingTest, HeaderIsBufferedUntilFlushed) {
    ASSERT_EQ(ProtoWriteHeader(channel, 0, SCMD_REQUEST_CONNECT), 0);
    EXPECT_EQ(PeerBytes(), "") << "the header leaves with the body";
    ASSERT_EQ(channel.FlushWrite(0), 0);
    EXPECT_EQ(PeerBytes(), std::string("\x25\x52\x18\x14\x46\x0E\x00\x00", 8));
}

TEST_F(FramingTest, HeaderCarriesCommandAndLengthBigEndian) {
    ASSERT_EQ(ProtoWriteHeader(channel, 0x0102, SCMD_RESUME_TRANSFER), 0);
    ASSERT_EQ(channel.FlushWrite(0), 0);
    EXPECT_EQ(PeerBytes(), std::string("\x25\x52\x18\x14\x46\x1B\x01\x02", 8));
}

TEST_F(FramingTest, ConnectRequestFramesAndDecodesToTheEnvelope) {
    PObject request;
    InitRequest(request, "connect");
    request["session"] = "s3cr3t";
    request["view_id"] = uint64_t{42};
    PStream stream;
    ASSERT_EQ(ProtoWriteHeader(channel, 0, SCMD_REQUEST_CONNECT), 0);
    ASSERT_EQ(stream.Send(channel, request), 0);

    // The receiving side: the header, then exactly one value.
    Channel server;
    ASSERT_EQ(server.Open(dup(peer), true), 0);
    char header[9];
    ASSERT_EQ(server.Read(header, sizeof header), 0);
    EXPECT_EQ(std::string(header, 9), std::string("\x25\x52\x18\x14\x46\x0E\x00\x00\x42", 9));
    PObject body;
    PObject::map& members = body.asMap();
    // The map's tag has been read above; the map's members follow.
    ASSERT_EQ(PStream().Recv(server, members), 0);

    EXPECT_EQ(body["action"].asString(), "connect");
    EXPECT_EQ(body["session"].asString(), "s3cr3t");
    EXPECT_EQ(body["view_id"].asInteger(), 42u);
    PObject agent;
    agent["platform"] = "Windows";
    agent["version"]["build"] = uint64_t{3108};
    agent["version"]["major"] = uint64_t{3};
    agent["version"]["minor"] = uint64_t{0};
    EXPECT_EQ(body["agent"], agent) << body.toString();
    EXPECT_FALSE(body.hasMember("_action"));
    EXPECT_EQ(body.asMap().size(), 4u);
    server.Close();
}

TEST(Framing, HeaderOnAClosedChannelFails) {
    Channel closed;
    EXPECT_EQ(ProtoWriteHeader(closed, 0, SCMD_EVT_PULL), ERR_IO);
}

TEST(Framing, EnvelopeMembers) {
    PObject request;
    request["session"] = "token";
    InitRequest(request, "connect");
    EXPECT_EQ(request["_action"].asString(), "connect");
    EXPECT_EQ(request["session"].asString(), "token");
    const PObject& agent = request["_agent"];
    EXPECT_EQ(agent["platform"].asString(), "Windows");
    EXPECT_TRUE(agent["version"]["major"].isInteger());
    EXPECT_EQ(agent["version"]["major"].asInteger(), 3u);
    EXPECT_TRUE(agent["version"]["minor"].isInteger());
    EXPECT_EQ(agent["version"]["minor"].asInteger(), 0u);
    EXPECT_EQ(agent["version"]["build"].asInteger(), 3108u);
    EXPECT_EQ(request.asMap().size(), 3u);
}

TEST(Framing, CommandNames) {
    struct Case {
        int cmd;
        const char* name;
    } cases[] = {
        {0, "Unknown command"},  {1, "SCMD_REQUEST"},        {6, "SCMD_EVT_PULL"},       {14, "SCMD_REQUEST_CONNECT"},
        {15, "SCMD_EVT_REMOVE"}, {22, "SCMD_REQUEST_SSL_2"}, {23, "SCMD_PKG_VER_QUERY"}, {24, "SCMD_GET_FOLDER_LIST"},
        {25, "Unknown command"}, {27, "Unknown command"},    {255, "Unknown command"},
    };
    for (const Case& c : cases) EXPECT_STREQ(ProtoCmd2String(static_cast<uint8_t>(c.cmd)), c.name) << c.cmd;
}

}  // namespace
