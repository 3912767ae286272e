// Throughput of a 1 GiB binary value: file -> PStream::Send -> loopback TCP
// -> PStream::Recv -> file, against the same bytes moved with plain
// read/write in pieces of the same size. Each way runs twice; the better
// run counts. Usage: bench_pstream [FOLDER] (default: the temp folder).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "net/channel.h"
#include "stream/pstream.h"

namespace {

constexpr uint64_t kSize = uint64_t{1} << 30;
constexpr size_t kPiece = PStream::kPieceSize;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A connected loopback TCP pair: {client, server}.
bool LoopbackPair(int fds[2]) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(listener);
        return false;
    }
    fds[0] = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fds[0], reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    fds[1] = accept(listener, nullptr, nullptr);
    close(listener);
    return fds[1] >= 0;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= w;
    }
    return true;
}

double Ours(const std::string& src, const std::string& dst) {
    int fds[2];
    if (!LoopbackPair(fds)) return -1;
    auto start = std::chrono::steady_clock::now();
    int sent = -1;
    std::thread sender([&] {
        Channel ch;
        if (ch.Open(fds[0], true) != 0) return;
        PObject msg;
        msg["file"] = PObject::binary_type{0, kSize, ustring(src)};
        PStream stream;
        sent = stream.Send(ch, msg);
        ch.Close();
    });
    Channel ch;
    ch.Open(fds[1], true);
    PObject got;
    got["file"] = PObject::binary_type{0, 0, ustring(dst)};
    PStream stream;
    int received = stream.Recv(ch, got);
    sender.join();
    ch.Close();
    double s = SecondsSince(start);
    if (sent != 0 || received != 0 || got["file"].asBinary().length != kSize) return -1;
    return s;
}

double Plain(const std::string& src, const std::string& dst) {
    int fds[2];
    if (!LoopbackPair(fds)) return -1;
    auto start = std::chrono::steady_clock::now();
    bool sent = false;
    std::thread sender([&] {
        std::vector<char> buf(kPiece);
        int in = open(src.c_str(), O_RDONLY);
        uint64_t done = 0;
        while (done < kSize) {
            ssize_t n = read(in, buf.data(), buf.size());
            if (n <= 0 || !WriteAll(fds[0], buf.data(), n)) break;
            done += n;
        }
        close(in);
        close(fds[0]);
        sent = done == kSize;
    });
    std::vector<char> buf(kPiece);
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    uint64_t done = 0;
    for (;;) {
        ssize_t n = read(fds[1], buf.data(), buf.size());
        if (n <= 0 || !WriteAll(out, buf.data(), n)) break;
        done += n;
    }
    close(out);
    close(fds[1]);
    sender.join();
    double s = SecondsSince(start);
    if (!sent || done != kSize) return -1;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path base = argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
    std::string pattern = (base / "bench-pstream-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    std::filesystem::path dir = pattern;
    std::string src = (dir / "src").string();
    std::string dst = (dir / "dst").string();

    {
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + (i >> 9));
        int fd = open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        bool ok = fd >= 0;
        for (uint64_t done = 0; ok && done < kSize; done += block.size()) {
            block[0] = static_cast<char>(done >> 20);
            ok = WriteAll(fd, block.data(), block.size());
        }
        if (fd >= 0) close(fd);
        if (!ok) {
            std::fprintf(stderr, "cannot write %s\n", src.c_str());
            std::filesystem::remove_all(dir);
            return 1;
        }
    }

    double ours = 1e30, plain = 1e30;
    bool failed = false;
    for (int round = 0; round < 2 && !failed; ++round) {
        double p = Plain(src, dst);
        std::filesystem::remove(dst);
        double o = Ours(src, dst);
        std::filesystem::remove(dst);
        if (p <= 0 || o <= 0) failed = true;
        if (p > 0 && p < plain) plain = p;
        if (o > 0 && o < ours) ours = o;
    }
    std::filesystem::remove_all(dir);
    if (failed) {
        std::fprintf(stderr, "bench_pstream: a transfer failed\n");
        return 1;
    }
    double mib = static_cast<double>(kSize) / (1 << 20);
    double ours_mbps = mib / ours, plain_mbps = mib / plain;
    std::printf("bench=pstream case=binary_1g ours_mbps=%.1f plain_mbps=%.1f ratio=%.2f\n", ours_mbps, plain_mbps,
                ours_mbps / plain_mbps);
    return 0;
}
