// Figures for the local change detector on real folders and real inotify.
//
// case=latency           200 files written and closed one after another: the
//                        time from the close to the event reaching the event
//                        manager (a puller polls it every 50 us). p50 and p99
//                        in ms; target p50 <= 20 ms.
// case=burst_100k        another process creates 100,000 files in 1,000
//                        folders: seconds until every file has an event, or
//                        its folder an expansion, or one rescan covers them
//                        all; lost = files covered by nothing once the
//                        detector has gone quiet (must be 0).
// case=watches_100k_dirs 100,000 watched directories (on /dev/shm where it
//                        exists): the detector's heap per directory
//                        (mallinfo2), the seconds AddWatch took, and the
//                        growth of the kernel's slab per directory
//                        (/proc/meminfo, machine-wide, so approximate).
//
// Usage: bench_detector [case ...]   (default: all three)
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "base/task.h"
#include "session/registry.h"
#include "sync/detector.h"
#include "sync/event_manager.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Puller : Task {};

// A session folder with its registry entry, an event manager without marks
// and notices, and a running detector.
class Bench {
public:
    // `base`: where the temporary folder goes.
    explicit Bench(const char* base = "/tmp") {
        std::string pattern = std::string(base) + "/bench-detector-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        root = pattern.c_str();
        folder = root + "/session";
        fs::create_directories(folder);
        Registry::Entry e;
        e.sess_id = 1;
        e.local_path = folder;
        Registry::getInstance().Set(e);
        em.SetSyncingNotifier([](const Event&) {});
        em.SetSyncingMarker([](const ustring&, bool) { return 0; });
        Detector::Options o;
        o.manager = &em;
        detector = std::make_unique<Detector>(o);
    }
    ~Bench() {
        // Unwatched first: removing the tree would otherwise become events.
        detector.reset();
        Registry::getInstance().Remove(1);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void Watch() {
        if (detector->AddWatch(folder, 1) != 0) std::abort();
        detector->Run();
    }
    // Hands `take` every event the manager has now; false when it had none.
    template <typename F>
    bool Drain(F take) {
        bool any = false;
        Event e;
        while (em.PullEvent(&puller, e) == 0) {
            any = true;
            take(e);
            while (em.DoneEvent(&puller, e) == -1) take(e);
        }
        return any;
    }

    std::string root, folder;
    EventManager em;
    Puller puller;
    std::unique_ptr<Detector> detector;
};

void Latency() {
    constexpr int kFiles = 200;
    Bench b;
    for (int i = 0; i < kFiles; ++i) std::ofstream(b.folder + "/f" + std::to_string(i)) << "old";
    b.Watch();
    std::vector<double> ms;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "/f" + std::to_string(i);
        const int fd = open((b.folder + name).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0 || write(fd, "new contents", 12) != 12) std::abort();
        // Timed from just before the close: the notice is queued inside it,
        // and the detector may well have pushed the event before close()
        // returns.
        const Clock::time_point closed = Clock::now();
        close(fd);
        bool arrived = false;
        while (!arrived && MsBetween(closed, Clock::now()) < 5000) {
            if (!b.Drain([&](const Event& e) { arrived = arrived || (e.m_path == name.c_str()); }))
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        ms.push_back(arrived ? MsBetween(closed, Clock::now()) : 5000);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("bench=detector case=latency files=%d p50_ms=%.3f p99_ms=%.3f max_ms=%.3f target_p50_ms=20\n", kFiles,
                ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
}

void Burst100k() {
    constexpr int kDirs = 1000;
    constexpr int kPerDir = 100;
    Bench b;
    b.Watch();
    std::vector<char> covered(static_cast<size_t>(kDirs) * kPerDir, 0);
    size_t covered_count = 0;
    bool rescan = false;
    int rescans = 0, expansions = 0;
    size_t events = 0;
    auto cover = [&](size_t index) {
        if (index < covered.size() && !covered[index]) {
            covered[index] = 1;
            ++covered_count;
        }
    };
    auto take = [&](const Event& e) {
        ++events;
        if (e.isRescan()) {
            rescan = true;
            ++rescans;
            return;
        }
        unsigned d = 0, f = 0;
        const char* p = e.m_path.c_str();
        if (e.isExpand()) {
            ++expansions;
            if (std::sscanf(p, "/d%u", &d) == 1)
                for (int i = 0; i < kPerDir; ++i) cover(static_cast<size_t>(d) * kPerDir + static_cast<size_t>(i));
            return;
        }
        if (std::sscanf(p, "/d%u/f%u", &d, &f) == 2) cover(static_cast<size_t>(d) * kPerDir + f);
    };

    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        char path[256];
        for (int d = 0; d < kDirs; ++d) {
            std::snprintf(path, sizeof path, "%s/d%03d", b.folder.c_str(), d);
            if (mkdir(path, 0755) != 0) _exit(1);
            for (int f = 0; f < kPerDir; ++f) {
                std::snprintf(path, sizeof path, "%s/d%03d/f%03d", b.folder.c_str(), d, f);
                FILE* fp = std::fopen(path, "w");
                if (!fp) _exit(1);
                std::fputc('x', fp);
                std::fclose(fp);
            }
        }
        _exit(0);
    }
    bool child_done = false;
    double seconds = -1;
    Clock::time_point last_event = Clock::now();
    for (;;) {
        if (b.Drain(take)) last_event = Clock::now();
        if (!child_done) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) child_done = true;
        }
        const bool all = rescan || covered_count == covered.size();
        if (child_done && all && seconds < 0) seconds = MsBetween(start, Clock::now()) / 1000;
        // Quiet for two seconds after the writer ended: nothing more comes.
        if (child_done && MsBetween(last_event, Clock::now()) > 2000) break;
        if (MsBetween(start, Clock::now()) > 300000) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const size_t lost = rescan ? 0 : covered.size() - covered_count;
    std::printf(
        "bench=detector case=burst_100k files=%zu folders=%d seconds=%.3f lost=%zu events=%zu expansions=%d "
        "rescans=%d\n",
        covered.size(), kDirs, seconds, lost, events, expansions, rescans);
}

long SlabBytes() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    long kb = 0;
    std::string unit;
    while (in >> key >> kb >> unit)
        if (key == "Slab:") return kb * 1024;
    return 0;
}

void Watches100kDirs() {
    constexpr int kTop = 100;
    constexpr int kSub = 1000;
    // On a memory file system where there is one: making and removing
    // 100,000 directories on this machine's disk takes minutes and says
    // nothing about the watches.
    Bench b(fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
    char path[256];
    for (int t = 0; t < kTop; ++t) {
        std::snprintf(path, sizeof path, "%s/t%03d", b.folder.c_str(), t);
        mkdir(path, 0755);
        for (int s = 0; s < kSub; ++s) {
            std::snprintf(path, sizeof path, "%s/t%03d/s%04d", b.folder.c_str(), t, s);
            mkdir(path, 0755);
        }
    }
    malloc_trim(0);
    struct mallinfo2 before = mallinfo2();
    const long slab_before = SlabBytes();
    const Clock::time_point start = Clock::now();
    b.Watch();
    const double seconds = MsBetween(start, Clock::now()) / 1000;
    struct mallinfo2 after = mallinfo2();
    const long slab_after = SlabBytes();
    const size_t watches = b.detector->WatchCount(1);
    const double heap = static_cast<double>((after.uordblks + after.hblkhd) - (before.uordblks + before.hblkhd));
    std::printf(
        "bench=detector case=watches_100k_dirs watches=%zu seconds=%.3f bytes_per_dir=%.1f "
        "kernel_slab_bytes_per_dir=%.0f\n",
        watches, seconds, heap / static_cast<double>(watches),
        static_cast<double>(slab_after - slab_before) / static_cast<double>(watches));
}

}  // namespace

int main(int argc, char** argv) {
    // Log lines go to standard error, the figures alone to standard output.
    Logger::Initialize(Logger::STDERR_LOGGER, "", "", 1);
    std::vector<std::string> cases;
    for (int i = 1; i < argc; ++i) cases.push_back(argv[i]);
    if (cases.empty()) cases = {"latency", "burst_100k", "watches_100k_dirs"};
    for (const std::string& c : cases) {
        if (c == "latency") {
            Latency();
        } else if (c == "burst_100k") {
            Burst100k();
        } else if (c == "watches_100k_dirs") {
            Watches100kDirs();
        } else {
            std::fprintf(stderr, "unknown case %s\n", c.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
