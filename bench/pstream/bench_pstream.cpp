// Throughput of a 1 GiB binary value: file -> PStream::Send -> loopback TCP
// -> PStream::Recv -> file, against the same bytes moved with plain
// read/write in pieces of the same size. Each way runs twice; the better
// run counts. Usage: bench_pstream [FOLDER] (default: the temp folder).
#include <fcntl.h>
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
#include "support/plain_socket.h"

namespace {

using tidewell::bench::LoopbackPair;
using tidewell::bench::SecondsSince;

constexpr uint64_t kSize = uint64_t{1} << 30;

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

    if (!tidewell::bench::WritePatternFile(src, kSize)) {
        std::fprintf(stderr, "cannot write %s\n", src.c_str());
        std::filesystem::remove_all(dir);
        return 1;
    }

    double ours = 1e30, plain = 1e30;
    bool failed = false;
    for (int round = 0; round < 2 && !failed; ++round) {
        double p = tidewell::bench::PlainSocketCopy(src, dst, kSize);
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
