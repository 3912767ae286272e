// bench=server: the stand-in server through its protocol, end to end over
// loopback, the server a real process started with --no-fsync (flushes off,
// commits still atomic):
//   pull_100k    a 100,000-record view pulled from 0, page by page (seconds)
//   small_10k    10,000 uploads of 4 KiB from 4 connections (seconds; target 2)
//   upload_1g    one 1 GiB resumable upload, token and dry run included (MB/s)
//   download_1g  the same file downloaded (MB/s)
// The two 1 GiB figures carry `ratio` against the plain-socket copy of
// bench=pstream (tidewell::bench::PlainSocketCopy), measured here in the
// same run on the same file; `memory` gives the server's peak resident size
// before and after the 1 GiB transfers, which stays flat in the file size.
// Usage: bench_server [FOLDER] (default: the temp folder; needs about 3 GiB).
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "delta/md4.h"
#include "protocol/proto_common.h"
#include "server/content_store.h"
#include "server/patches.h"
#include "server/view_index.h"
#include "support/plain_socket.h"
#include "support/server_process.h"
#include "support/sync_client.h"

namespace {

using tidewell::bench::SecondsSince;
using tidewell::testing::SyncClient;

constexpr uint64_t kBig = uint64_t{1} << 30;
constexpr int kSmallFiles = 10000;
constexpr size_t kSmallSize = 4096;
constexpr int kConnections = 4;
const std::string kToken = "bench";

std::string Hex(const void* data, size_t size) {
    uint8_t digest[Md4::DIGEST_SIZE];
    Md4::digest(data, size, digest);
    return Md4::toHex(digest).str();
}

PObject Members() {
    PObject m = tidewell::testing::SessionMembers(kToken, 1);
    m["node_id"] = uint64_t{0};
    return m;
}

// CPU seconds (user and system) a process has used so far.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state ... cmajflt
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The CPU both sides spend on a case: wall time on this shared machine
// depends on who else runs; CPU time much less.
struct CpuMeter {
    explicit CpuMeter(pid_t server) : pid(server), server0(CpuSeconds(server)), client0(OwnCpuSeconds()) {}
    std::string Text() const {
        char buf[96];
        std::snprintf(buf, sizeof buf, "server_cpu_s=%.2f client_cpu_s=%.2f", CpuSeconds(pid) - server0,
                      OwnCpuSeconds() - client0);
        return buf;
    }
    pid_t pid;
    double server0, client0;
};

// The peak resident size of a process, in KiB.
long PeakRssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (in >> key) {
        if (key == "VmHWM:") {
            in >> value;
            break;
        }
    }
    return value;
}

// 1,000 folders of 99 files each, written straight into the index before
// the server starts (the files share one blob).
bool BuildLargeView(const std::string& root) {
    std::string dir = root + "/views/1";
    tw_server::ContentStore store(dir, false);
    tw_server::ViewIndex index;
    std::string error;
    if (store.Open(error) != 0 || index.Open(dir + "/index.sqlite", false, false, error) != 0) {
        std::fprintf(stderr, "bench_server: %s\n", error.c_str());
        return false;
    }
    const std::string content = "a small file";
    uint64_t file_id = 0;
    if (index.Begin() != 0 || index.AddContent(Hex(content.data(), content.size()), content.size(), file_id) != 0) {
        return false;
    }
    std::ofstream(store.BlobPath(file_id)) << content;
    for (int d = 0; d < 1000; ++d) {
        tw_server::Entry folder;
        folder.path = "/folder" + std::to_string(d);
        folder.is_dir = true;
        folder.mtime = 1000;
        if (index.NextSyncId(folder.sync_id) != 0) return false;
        folder.max_id = folder.sync_id;
        if (index.Put(folder) != 0) return false;
        uint64_t last = 0;
        for (int f = 0; f < 99; ++f) {
            tw_server::Entry file;
            file.path = folder.path + "/file" + std::to_string(f) + ".txt";
            file.size = content.size();
            file.hash = Hex(content.data(), content.size());
            file.mtime = 1000;
            file.file_id = file_id;
            if (index.NextSyncId(file.sync_id) != 0) return false;
            file.max_id = last = file.sync_id;
            if (index.Put(file) != 0) return false;
        }
        if (index.RaiseMaxId(folder.path, last) != 0) return false;
    }
    return index.Commit() == 0;
}

double PullAll(int port, uint64_t& records, int& pages) {
    SyncClient c(port);
    if (c.Connect(kToken, 1) != 0) return -1;
    auto start = std::chrono::steady_clock::now();
    uint64_t from = 0;
    records = 0;
    pages = 0;
    for (;;) {
        PObject m = Members();
        m["sync_id"] = from;
        m["path"] = "/";
        m["recursive"] = true;
        PObject answer;
        if (c.Run(SCMD_EVT_PULL, "pull_event", m, answer) != 0 || answer.hasMember("error")) return -1;
        size_t n = answer["event_list"].asArray().size();
        if (n == 0) break;
        records += n;
        ++pages;
        from = answer["next_sync_id"].asInteger();
    }
    return SecondsSince(start);
}

double SmallUploads(int port, const std::string& data_file, const std::vector<std::string>& hashes) {
    std::atomic<int> failures{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kConnections; ++t) {
        threads.emplace_back([&, t] {
            SyncClient c(port);
            if (c.Connect(kToken, 1) != 0) {
                ++failures;
                return;
            }
            for (int i = t; i < kSmallFiles; i += kConnections) {
                PObject m = Members();
                m["path"] = ustring("/small/c" + std::to_string(t) + "/f" + std::to_string(i));
                m["is_dir"] = false;
                m["sync_id"] = uint64_t{0};
                m["max_id"] = uint64_t{0};
                m["file"]["size"] = uint64_t{kSmallSize};
                m["file"]["hash"] = ustring(hashes[i]);
                m["file"]["refer"] = false;
                m["file"]["is_delta"] = false;
                m["file"]["data"] = PObject::binary_type{uint64_t(i) * kSmallSize, kSmallSize, ustring(data_file)};
                m["mtime"]["refer"] = false;
                m["mtime"]["mtime"] = uint64_t{1000};
                PObject answer;
                if (c.Run(SCMD_EVT_RECV_4, "upload", m, answer) != 0 || answer.hasMember("error")) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    double s = SecondsSince(start);
    return failures == 0 ? s : -1;
}

double BigUpload(int port, const std::string& src, const std::string& hash, uint64_t& sync_id) {
    SyncClient c(port);
    if (c.Connect(kToken, 1) != 0) return -1;
    auto start = std::chrono::steady_clock::now();
    PObject token;
    if (c.Run(SCMD_RESUME_TRANSFER, "resume_get_token", Members(), token) != 0) return -1;
    PObject m = Members();
    m["path"] = "/big.bin";
    m["is_dir"] = false;
    m["sync_id"] = uint64_t{0};
    m["max_id"] = uint64_t{0};
    m["file"]["size"] = kBig;
    m["file"]["hash"] = ustring(hash);
    m["file"]["refer"] = false;
    m["file"]["is_delta"] = false;
    m["mtime"]["refer"] = false;
    m["mtime"]["mtime"] = uint64_t{1000};
    PObject dry = m;
    dry["dry_run"] = true;
    PObject answer;
    if (c.Run(SCMD_EVT_RECV_4, "upload", dry, answer) != 0 || answer.hasMember("error")) return -1;
    m["file"]["data"] = PObject::binary_type{0, kBig, ustring(src)};
    m["_resume_token"] = token["resume_token"];
    answer.clear();
    if (c.Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer) != 0 || answer.hasMember("error")) {
        std::fprintf(stderr, "bench_server: upload failed: %s\n", answer.toString().c_str());
        return -1;
    }
    double s = SecondsSince(start);
    sync_id = answer["sync_id"].asInteger();
    return s;
}

bool RemoveBig(int port, uint64_t sync_id) {
    SyncClient c(port);
    if (c.Connect(kToken, 1) != 0) return false;
    PObject m = Members();
    m["path"] = "/big.bin";
    m["sync_id"] = sync_id;
    m["max_id"] = sync_id;
    PObject answer;
    return c.Run(SCMD_EVT_REMOVE, "remove", m, answer) == 0 && !answer.hasMember("error");
}

double BigDownload(int port, const std::string& dst) {
    SyncClient c(port);
    if (c.Connect(kToken, 1) != 0) return -1;
    auto start = std::chrono::steady_clock::now();
    PObject token;
    if (c.Run(SCMD_RESUME_TRANSFER, "resume_get_token", Members(), token) != 0) return -1;
    PObject m = Members();
    m["path"] = "/big.bin";
    m["sync_id"] = uint64_t{0};
    m["max_id"] = uint64_t{0};
    m["target_sync_id"] = uint64_t{0};
    m["file"]["offset"] = uint64_t{0};
    m["mtime"]["offset"] = uint64_t{0};
    m["force_current_version"] = false;
    m["_resume_token"] = token["resume_token"];
    PObject answer;
    answer["file"]["data"] = PObject::binary_type{0, 0, ustring(dst)};
    if (c.Run(SCMD_RESUME_TRANSFER, "resume_download", m, answer) != 0 || answer.hasMember("error") ||
        answer["file"]["data"].asBinary().length != kBig) {
        return -1;
    }
    return SecondsSince(start);
}

int Run(const std::filesystem::path& dir) {
    const std::string src = (dir / "src").string(), dst = (dir / "dst").string();
    const std::string small = (dir / "small").string(), root = (dir / "root").string();

    if (!tidewell::bench::WritePatternFile(src, kBig)) {
        std::fprintf(stderr, "bench_server: cannot write %s\n", src.c_str());
        return 1;
    }
    std::string big_hash;
    if (tw_server::HashFile(src, big_hash) != 0) return 1;
    std::vector<std::string> hashes;
    {
        std::string bytes(size_t(kSmallFiles) * kSmallSize, '\0');
        // xorshift: no 4 KiB piece repeats, so that no upload is a copy of
        // another (which the server would store once).
        uint32_t x = 12345;
        for (char& b : bytes) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<char>(x);
        }
        std::ofstream(small, std::ios::binary) << bytes;
        for (int i = 0; i < kSmallFiles; ++i) hashes.push_back(Hex(bytes.data() + size_t(i) * kSmallSize, kSmallSize));
    }

    if (!BuildLargeView(root)) {
        std::fprintf(stderr, "bench_server: cannot build the view\n");
        return 1;
    }
    tidewell::testing::ServerProcess server(std::string(TIDEWELL_BINARY_DIR) + "/bin/tidewell-server", root);
    if (!server.Start({"--token", kToken, "--no-fsync"})) {
        std::fprintf(stderr, "bench_server: the server did not start:\n%s\n", server.log().c_str());
        return 1;
    }

    uint64_t records = 0;
    int pages = 0;
    CpuMeter pull_cpu(server.pid());
    double pull = PullAll(server.port(), records, pages);
    if (pull < 0 || records != 100000) {
        std::fprintf(stderr, "bench_server: pull_100k failed (%llu records)\n",
                     static_cast<unsigned long long>(records));
        return 1;
    }
    std::printf("bench=server case=pull_100k records=%llu pages=%d seconds=%.2f %s\n",
                static_cast<unsigned long long>(records), pages, pull, pull_cpu.Text().c_str());
    std::fflush(stdout);

    CpuMeter small_cpu(server.pid());
    double uploads = SmallUploads(server.port(), small, hashes);
    if (uploads < 0) {
        std::fprintf(stderr, "bench_server: small_10k failed\n%s\n", server.log().c_str());
        return 1;
    }
    std::printf(
        "bench=server case=small_10k files=%d size=%zu connections=%d fsync=0 seconds=%.2f target_seconds=2 %s\n",
        kSmallFiles, kSmallSize, kConnections, uploads, small_cpu.Text().c_str());
    std::fflush(stdout);
    long rss_before = PeakRssKb(server.pid());

    // Twice, each round the reference, the upload and the download one after
    // another; the better run of each counts. Every transfer starts with
    // nothing dirty in the page cache, so that write-back of earlier files
    // slows neither side of the comparison.
    double plain = 1e30, up = 1e30, down = 1e30;
    std::string up_cpu, down_cpu;
    for (int round = 0; round < 2; ++round) {
        sync();
        double p = tidewell::bench::PlainSocketCopy(src, dst, kBig);
        std::filesystem::remove(dst);
        sync();
        CpuMeter up_meter(server.pid());
        uint64_t sync_id = 0;
        double u = BigUpload(server.port(), src, big_hash, sync_id);
        std::string u_cpu = up_meter.Text();
        sync();
        CpuMeter down_meter(server.pid());
        double d = u > 0 ? BigDownload(server.port(), dst) : -1;
        std::string d_cpu = down_meter.Text();
        std::filesystem::remove(dst);
        if (p <= 0 || u <= 0 || d <= 0 || !RemoveBig(server.port(), sync_id)) {
            std::fprintf(stderr, "bench_server: a 1 GiB transfer failed\n%s\n", server.log().c_str());
            return 1;
        }
        plain = std::min(plain, p);
        if (u < up) {
            up = u;
            up_cpu = u_cpu;
        }
        if (d < down) {
            down = d;
            down_cpu = d_cpu;
        }
    }
    const double mib = static_cast<double>(kBig) / (1 << 20);
    const double plain_mbps = mib / plain;
    std::printf("bench=server case=upload_1g mbps=%.1f plain_mbps=%.1f ratio=%.2f fsync=0 target_ratio=0.5 %s\n",
                mib / up, plain_mbps, (mib / up) / plain_mbps, up_cpu.c_str());
    std::printf("bench=server case=download_1g mbps=%.1f plain_mbps=%.1f ratio=%.2f target_ratio=0.5 %s\n", mib / down,
                plain_mbps, (mib / down) / plain_mbps, down_cpu.c_str());
    long rss_after = PeakRssKb(server.pid());
    std::printf("bench=server case=memory peak_rss_kb_before_1g=%ld peak_rss_kb_after_1g=%ld\n", rss_before, rss_after);
    std::fflush(stdout);
    return server.Stop() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);  // a closed output must not skip the clean-up
    std::filesystem::path base = argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
    std::string pattern = (base / "bench-server-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    int rc = Run(pattern);
    std::error_code ec;
    std::filesystem::remove_all(pattern, ec);
    return rc;
}
