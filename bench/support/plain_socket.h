// The reference of the transfer benchmarks: a file moved through loopback
// TCP with plain read and write calls, in pieces of PStream's size, into
// another file. Shared by bench=pstream and bench=server, so that both
// compare against the same measurement.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "stream/pstream.h"

namespace tidewell::bench {

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A connected loopback TCP pair: {client, server}.
inline bool LoopbackPair(int fds[2]) {
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

inline bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= w;
    }
    return true;
}

// Seconds to move the first `size` bytes of `src` into `dst`; -1 on failure.
inline double PlainSocketCopy(const std::string& src, const std::string& dst, uint64_t size) {
    constexpr size_t kPiece = PStream::kPieceSize;
    int fds[2];
    if (!LoopbackPair(fds)) return -1;
    auto start = std::chrono::steady_clock::now();
    bool sent = false;
    std::thread sender([&] {
        std::vector<char> buf(kPiece);
        int in = open(src.c_str(), O_RDONLY);
        uint64_t done = 0;
        while (done < size) {
            ssize_t n = read(in, buf.data(), buf.size());
            if (n <= 0 || !WriteAll(fds[0], buf.data(), n)) break;
            done += n;
        }
        close(in);
        close(fds[0]);
        sent = done == size;
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
    if (!sent || done != size) return -1;
    return s;
}

// Writes `size` bytes of a fixed pattern that does not compress to nothing.
inline bool WritePatternFile(const std::string& path, uint64_t size) {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + (i >> 9));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = fd >= 0;
    for (uint64_t done = 0; ok && done < size; done += block.size()) {
        block[0] = static_cast<char>(done >> 20);
        ok = WriteAll(fd, block.data(), std::min<uint64_t>(block.size(), size - done));
    }
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace tidewell::bench
