// A 1 GiB binary from file over loopback TCP into a file, in constant memory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "net/channel.h"
#include "support/temp_dir.h"
#include "stream/pstream.h"

namespace {

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

std::string Marker(uint64_t offset) {
    return "<marker at " + std::to_string(offset) + ">";
}

TEST(PStreamLarge, OneGiBBinaryStreamsWithFlatMemory) {
    constexpr uint64_t kSize = uint64_t{1} << 30;
    tidewell::testing::TempDir dir;
    std::string src = dir.file("src");
    std::string dst = dir.file("dst");

    // A sparse source with markers at the start, across piece borders, in
    // the middle and at the very end.
    const uint64_t offsets[] = {0, PStream::kPieceSize - 5, 3 * PStream::kPieceSize + 1, kSize / 2 + 3, kSize - 30};
    {
        int fd = open(src.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, kSize), 0);
        for (uint64_t off : offsets) {
            std::string m = Marker(off);
            ASSERT_EQ(pwrite(fd, m.data(), m.size(), off), static_cast<ssize_t>(m.size()));
        }
        close(fd);
    }

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);

    long baseline = RssKb();
    std::atomic<long> peak{baseline};
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done) {
            long now = RssKb();
            if (now > peak) peak = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    int send_result = 1;
    std::thread sender([&] {
        Channel ch;
        if (ch.Open("127.0.0.1", ntohs(addr.sin_port)) != 0) return;
        PObject msg;
        msg["file"] = PObject::binary_type{0, kSize, ustring(src)};
        PStream stream;
        send_result = stream.Send(ch, msg);
        ch.Close();
    });

    Channel ch;
    int fd = accept(listener, nullptr, nullptr);
    ASSERT_EQ(ch.Open(fd, true), 0);
    PObject got;
    got["file"] = PObject::binary_type{0, 0, ustring(dst)};
    PStream stream;
    int recv_result = stream.Recv(ch, got);
    sender.join();
    done = true;
    sampler.join();
    ch.Close();
    close(listener);

    EXPECT_EQ(send_result, 0);
    ASSERT_EQ(recv_result, 0);
    EXPECT_EQ(got["file"].asBinary().length, kSize);
    EXPECT_LT(peak - baseline, 32 * 1024) << "RSS grew by " << (peak - baseline) << " kB";

    FILE* fp = std::fopen(dst.c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(fseeko(fp, 0, SEEK_END), 0);
    EXPECT_EQ(static_cast<uint64_t>(ftello(fp)), kSize);
    for (uint64_t off : offsets) {
        std::string m = Marker(off);
        std::string back(m.size(), '\0');
        fseeko(fp, off, SEEK_SET);
        ASSERT_EQ(std::fread(back.data(), 1, back.size(), fp), back.size());
        EXPECT_EQ(back, m);
    }
    std::fclose(fp);
}

}  // namespace
