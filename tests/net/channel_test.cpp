#include "net/channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/bad_channel.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A listening socket on 127.0.0.1 with a kernel-chosen port.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(fd_, 4);
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Listener() { close(fd_); }
    int port() const { return port_; }
    int Accept() { return accept(fd_, nullptr, nullptr); }

private:
    int fd_;
    int port_;
};

// A channel connected over loopback to a plain blocking socket `peer`.
class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(channel.Open("127.0.0.1", listener.port()), 0);
        peer = listener.Accept();
        ASSERT_GE(peer, 0);
    }
    void TearDown() override {
        channel.Close();
        ClosePeer();
    }
    void ClosePeer() {
        if (peer >= 0) close(peer);
        peer = -1;
    }
    void PeerSend(const std::string& bytes) {
        ASSERT_EQ(send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    std::string PeerRecv(size_t n) {
        std::string out(n, '\0');
        size_t got = 0;
        while (got < n) {
            ssize_t r = recv(peer, out.data() + got, n - got, 0);
            if (r <= 0) break;
            got += r;
        }
        out.resize(got);
        return out;
    }
    bool PeerHasData() {
        pollfd p{peer, POLLIN, 0};
        return poll(&p, 1, 50) > 0;
    }

    Listener listener;
    Channel channel;
    int peer = -1;
};

std::string Pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

TEST_F(ChannelTest, IntegersAreBigEndianOnTheWire) {
    ASSERT_EQ(channel.WriteByte(0xAB), 0);
    ASSERT_EQ(channel.WriteInt16(0x0102), 0);
    ASSERT_EQ(channel.WriteInt32(1), 0);
    ASSERT_EQ(channel.WriteInt64(0x0102030405060708ull), 0);
    ASSERT_EQ(channel.FlushWrite(0), 0);
    EXPECT_EQ(PeerRecv(15), std::string("\xAB\x01\x02\x00\x00\x00\x01\x01\x02\x03\x04\x05\x06\x07\x08", 15));

    PeerSend(std::string("\x7F\x01\x02\xDE\xAD\xBE\xEF\x80\x00\x00\x00\x00\x00\x00\x01", 15));
    uint8_t b = 0;
    uint16_t s = 0;
    uint32_t i = 0;
    uint64_t l = 0;
    ASSERT_EQ(channel.ReadByte(&b), 0);
    ASSERT_EQ(channel.ReadInt16(&s), 0);
    ASSERT_EQ(channel.ReadInt32(&i), 0);
    ASSERT_EQ(channel.ReadInt64(&l), 0);
    EXPECT_EQ(b, 0x7F);
    EXPECT_EQ(s, 258);
    EXPECT_EQ(i, 0xDEADBEEFu);
    EXPECT_EQ(l, 0x8000000000000001ull);
    EXPECT_EQ(channel.Convert(uint16_t{0x0102}), 0x0201);
    EXPECT_EQ(channel.Convert(uint64_t{1}), 1ull << 56);
}

TEST_F(ChannelTest, WriteBuffersUpToCapacityAndRefusesMore) {
    std::string block = Pattern(Channel::kDefaultCapacity);
    ASSERT_EQ(channel.Write(block.data(), block.size()), 0);
    EXPECT_FALSE(PeerHasData());  // nothing leaves before a flush
    std::string big = Pattern(Channel::kDefaultCapacity + 1);
    EXPECT_EQ(channel.Write(big.data(), big.size()), ERR_INVAL);
    ASSERT_EQ(channel.FlushWrite(0), 0);
    EXPECT_EQ(PeerRecv(block.size()), block);
}

TEST_F(ChannelTest, WrappingWritesLeaveInOrderWhileThePeerReadsSlowly) {
    // Odd block sizes make the ring wrap at varying places; a reader that
    // pauses between small reads makes the sends partial.
    std::string data = Pattern(3'000'000, 7);
    std::string received;
    std::thread reader([&] {
        char buf[7000];
        while (received.size() < data.size()) {
            ssize_t n = recv(peer, buf, sizeof buf, 0);
            if (n <= 0) break;
            received.append(buf, n);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    size_t pos = 0, step = 1;
    while (pos < data.size()) {
        size_t n = std::min(data.size() - pos, (step * 7919) % 60000 + 1);
        ASSERT_EQ(channel.Write(data.data() + pos, n), 0);
        pos += n;
        ++step;
    }
    ASSERT_EQ(channel.FlushWrite(0), 0);
    reader.join();
    EXPECT_TRUE(received == data);
}

TEST_F(ChannelTest, ReadsCollectDribblesAndServeReadsLargerThanTheBuffer) {
    std::thread sender([&] {
        PeerSend("ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        PeerSend("cdefghij");
    });
    char buf[10];
    ASSERT_EQ(channel.Read(buf, 10), 0);
    sender.join();
    EXPECT_EQ(std::string(buf, 10), "abcdefghij");

    std::string data = Pattern(3 * Channel::kDefaultCapacity + 17, 3);
    std::thread bulk([&] { PeerSend(data); });
    std::string got(data.size(), '\0');
    size_t total = 0;
    ASSERT_EQ(channel.Read(got.data(), 5, total), 0);
    ASSERT_EQ(total, 5u);
    ASSERT_EQ(channel.Read(got.data() + 5, got.size() - 5, total), 0);
    EXPECT_EQ(total, got.size() - 5);
    bulk.join();
    EXPECT_TRUE(got == data);
}

TEST_F(ChannelTest, PeerCloseIsAnIoErrorAndDeliversWhatArrived) {
    PeerSend("xyz");
    ClosePeer();
    char buf[8];
    size_t total = 0;
    EXPECT_EQ(channel.Read(buf, 8, total), ERR_IO);
    EXPECT_EQ(total, 3u);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_EQ(channel.Read(buf, 0), 0);  // nothing asked, nothing touched
}

TEST_F(ChannelTest, WritingToAClosedPeerFailsWithoutKillingTheProcess) {
    ClosePeer();
    std::string block = Pattern(Channel::kDefaultCapacity);
    int ret = 0;
    for (int i = 0; i < 100 && ret == 0; ++i) {
        ret = channel.Write(block.data(), block.size());
        if (ret == 0) ret = channel.FlushWrite(0);
    }
    EXPECT_EQ(ret, ERR_IO);
}

TEST_F(ChannelTest, SilentPeerTimesOutAfterChannelTimeout) {
    channel.SetTimeout(1);
    char buf[4];
    auto start = Clock::now();
    EXPECT_EQ(channel.Read(buf, 4), ERR_TIMEOUT);
    double took = SecondsSince(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.5);
}

TEST_F(ChannelTest, TimeoutCountsFromTheLastByteReceived) {
    channel.SetTimeout(1);
    std::thread sender([&] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            PeerSend("x");
        }
    });
    char buf[3];
    EXPECT_EQ(channel.Read(buf, 3), 0);  // 1.8 s in all, never 1 s silent
    sender.join();
}

TEST_F(ChannelTest, FlushTimesOutWhenThePeerStopsReading) {
    channel.SetTimeout(1);
    std::string block = Pattern(Channel::kDefaultCapacity);
    int ret = 0;
    auto start = Clock::now();
    while (ret == 0 && SecondsSince(start) < 20) {
        ret = channel.Write(block.data(), block.size());
        if (ret == 0) ret = channel.FlushWrite(0);
    }
    EXPECT_EQ(ret, ERR_TIMEOUT);
}

TEST_F(ChannelTest, AbortFlagEndsAWaitWithinASecond) {
    channel.SetTimeout(0);  // no time limit: only the flag ends the read
    int abort_flag = 0;
    channel.SetFlag(&abort_flag);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        SetAbortFlag(&abort_flag);
    });
    char buf[4];
    auto start = Clock::now();
    EXPECT_EQ(channel.Read(buf, 4), ERR_INT);
    EXPECT_LT(SecondsSince(start), 2.0);
    setter.join();
    channel.SetFlag(nullptr);
}

TEST_F(ChannelTest, AbortFlagEndsAFlushThePeerDoesNotTake) {
    channel.SetTimeout(0);
    int abort_flag = 0;
    channel.SetFlag(&abort_flag);
    Clock::time_point set_at;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        set_at = Clock::now();
        SetAbortFlag(&abort_flag);
    });
    std::string block = Pattern(Channel::kDefaultCapacity);
    int ret = 0;
    auto start = Clock::now();
    while (ret == 0 && SecondsSince(start) < 20) {
        ret = channel.Write(block.data(), block.size());
        if (ret == 0) ret = channel.FlushWrite(0);
    }
    auto ended = Clock::now();
    setter.join();
    EXPECT_EQ(ret, ERR_INT);
    EXPECT_LT(std::chrono::duration<double>(ended - set_at).count(), 1.5);
    channel.SetFlag(nullptr);
    channel.ClearWrite();  // nothing left for Close to push into the stalled peer
}

TEST_F(ChannelTest, CloseSendsBufferedBytesAndOpenRefusesAnOpenChannel) {
    int other = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(channel.Open(other, true), ERR_INVAL);
    EXPECT_EQ(channel.Open("127.0.0.1", listener.port()), ERR_INVAL);
    close(other);
    EXPECT_FALSE(channel.IsClosed());

    ASSERT_EQ(channel.Write("bye", 3), 0);
    channel.Close();
    EXPECT_TRUE(channel.IsClosed());
    EXPECT_EQ(PeerRecv(4), "bye");  // then end of stream
    channel.Close();                // closing twice is harmless
    EXPECT_EQ(channel.Write("x", 1), ERR_IO);
    char c;
    EXPECT_EQ(channel.Read(&c, 1), ERR_IO);
}

TEST(ChannelOpen, BadArgumentsAreRefusedAndLeaveTheChannelClosed) {
    struct Case {
        const char* ip;
        int port;
    } cases[] = {{nullptr, 80}, {"127.0.0.1", 0}, {"127.0.0.1", -1}, {"127.0.0.1", 65536}};
    Channel channel;
    for (const Case& c : cases) {
        EXPECT_EQ(channel.Open(c.ip, c.port), ERR_INVAL) << c.port;
        EXPECT_TRUE(channel.IsClosed());
        EXPECT_EQ(channel.Write("x", 1), ERR_IO);
    }
    EXPECT_EQ(channel.Open("not-an-address", 80), ERR_IO);
    EXPECT_TRUE(channel.IsClosed());
    EXPECT_EQ(channel.Open(-1, false), ERR_INVAL);
}

TEST(ChannelOpen, RefusedConnectionIsAnIoError) {
    int port;
    {
        Listener gone;
        port = gone.port();
    }
    Channel channel;
    channel.SetTimeout(2);
    EXPECT_EQ(channel.Open("127.0.0.1", port), ERR_IO);
    EXPECT_TRUE(channel.IsClosed());
}

TEST(ChannelOpen, AdoptsSocketsAboveThe1024Limit) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 1600 && lim.rlim_max >= 1600) {
        lim.rlim_cur = 1600;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    if (lim.rlim_cur < 1600) GTEST_SKIP() << "descriptor limit too low";
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(dup2(pair[0], 1500), 1500);
    close(pair[0]);

    Channel channel;
    ASSERT_EQ(channel.Open(1500, true), 0);
    ASSERT_EQ(write(pair[1], "ping", 4), 4);
    char buf[4];
    ASSERT_EQ(channel.Read(buf, 4), 0);
    EXPECT_EQ(std::string(buf, 4), "ping");
    ASSERT_EQ(channel.Write("pong", 4), 0);
    ASSERT_EQ(channel.FlushWrite(0), 0);
    ASSERT_EQ(read(pair[1], buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "pong");
    channel.Close();
    close(pair[1]);
}

TEST(BadChannel, RefusesEverything) {
    BadChannel& bad = BadChannel::getInstance();
    char buf[4];
    size_t total = 9;
    uint32_t v = 7;
    EXPECT_EQ(bad.Open("127.0.0.1", 80), ERR_IO);
    EXPECT_EQ(bad.Read(buf, 4, total), ERR_IO);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(bad.ReadInt32(&v), ERR_IO);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(bad.Write("x", 1), ERR_IO);
    EXPECT_EQ(bad.FlushWrite(0), ERR_IO);
    EXPECT_EQ(bad.ConvertToSSLChannel(false), ERR_SYS);
    EXPECT_TRUE(bad.IsClosed());
    EXPECT_EQ(bad.Close(), 0);
}

TEST(ChannelMisc, PeerInfoIsNotSupported) {
    Channel channel;
    std::string host = "h";
    int port = 5;
    EXPECT_EQ(channel.GetPeerInfo(host, port), ERR_SYS);
    EXPECT_EQ(host, "h");
    EXPECT_EQ(port, 5);
}

}  // namespace
