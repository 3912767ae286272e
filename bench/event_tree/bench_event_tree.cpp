// Figures for the event tree: a backlog of file events pushed all at once,
// then popped and finished one by one by a single popper.
//
//   seconds          push all, then pop and finish all (wall clock)
//   cpu_seconds      the same in process CPU time (steadier on a busy host)
//   bytes_per_event  heap in use while everything is pending (mallinfo2:
//                    allocated chunks, malloc headers included, plus mmapped
//                    blocks), over the pending count
//   path_bytes       the average path length of the events
//   overhead         bytes_per_event minus path_bytes
//
// Usage: bench_event_tree [case ...]   (default: flat_100k flat_1m deep_1m)
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "event/event_list2.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

size_t HeapInUse() {
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

long RssBytes() {
    long pages_total = 0, pages_rss = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_rss) != 2) pages_rss = 0;
    std::fclose(f);
    return pages_rss * 4096;
}

// Path of event `i` for a case.
void FlatPath(size_t i, char* buf, size_t n) {
    std::snprintf(buf, n, "/first sync/file-%07zu.jpg", i);
}

// Six levels: five directory levels of ten, ten files in each leaf.
void DeepPath(size_t i, char* buf, size_t n) {
    std::snprintf(buf, n, "/d%zu/d%zu/d%zu/d%zu/d%zu/f%zu.dat", i / 100000 % 10, i / 10000 % 10, i / 1000 % 10,
                  i / 100 % 10, i / 10 % 10, i % 10);
}

struct Result {
    double seconds;
    double cpu_seconds;
    double push_seconds;
    double bytes_per_event;
    double path_bytes;
    long rss_delta;
};

Result RunCase(size_t count, void (*path_of)(size_t, char*, size_t), bool server) {
    Result r{};
    malloc_trim(0);
    const size_t heap_before = HeapInUse();
    const long rss_before = RssBytes();

    EventList2 tree;
    Event e;
    e.m_type = Event::EV_CREATE;
    if (server) {
        e.setServerEvent();
        e.m_data_hash = "0123456789abcdef0123456789abcdef";
    }
    e.m_data_size = 4096;
    Event old;
    char path[256];
    size_t path_bytes = 0;

    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = CpuSeconds();
    for (size_t i = 0; i < count; ++i) {
        path_of(i, path, sizeof path);
        path_bytes += std::strlen(path);
        e.m_path = path;
        if (server) e.m_sync_id = i + 1;
        if (tree.Push(e, old) != 0) {
            std::fprintf(stderr, "push failed at %zu\n", i);
            return r;
        }
    }
    r.push_seconds = SecondsSince(start);
    const size_t heap_peak = HeapInUse();
    r.rss_delta = RssBytes() - rss_before;

    size_t done = 0;
    Event out;
    while (tree.Pop(out) == 0) {
        if (tree.DoneEvent(out) != 0) {
            std::fprintf(stderr, "done failed for %s\n", out.m_path.c_str());
            return r;
        }
        ++done;
    }
    r.seconds = SecondsSince(start);
    r.cpu_seconds = CpuSeconds() - cpu_start;
    if (done != count || !tree.IsEmpty()) std::fprintf(stderr, "only %zu of %zu events came out\n", done, count);

    r.bytes_per_event = static_cast<double>(heap_peak - heap_before) / static_cast<double>(count);
    r.path_bytes = static_cast<double>(path_bytes) / static_cast<double>(count);
    return r;
}

void Print(const char* name, size_t count, const Result& r, const char* extra = "") {
    std::printf(
        "bench=event_tree case=%s events=%zu seconds=%.3f cpu_seconds=%.3f push_seconds=%.3f bytes_per_event=%.1f "
        "path_bytes=%.1f "
        "overhead=%.1f rss_bytes_per_event=%.1f%s\n",
        name, count, r.seconds, r.cpu_seconds, r.push_seconds, r.bytes_per_event, r.path_bytes,
        r.bytes_per_event - r.path_bytes, static_cast<double>(r.rss_delta) / static_cast<double>(count), extra);
    std::fflush(stdout);
}

bool Wanted(int argc, char** argv, const char* name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    double flat_100k = 0;
    if (Wanted(argc, argv, "flat_100k") || Wanted(argc, argv, "flat_1m")) {
        Result r = RunCase(100000, FlatPath, false);
        flat_100k = r.cpu_seconds;
        Print("flat_100k", 100000, r);
    }
    if (Wanted(argc, argv, "flat_1m")) {
        Result r = RunCase(1000000, FlatPath, false);
        char extra[64];
        std::snprintf(extra, sizeof extra, " cpu_time_vs_flat_100k=%.2f",
                      flat_100k > 0 ? r.cpu_seconds / flat_100k : 0.0);
        Print("flat_1m", 1000000, r, extra);
    }
    if (Wanted(argc, argv, "deep_1m")) {
        Result r = RunCase(1000000, DeepPath, true);
        Print("deep_1m", 1000000, r);
    }
    return 0;
}
