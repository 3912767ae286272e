// Timings of the local stores: file event records committed one at a time,
// point look-ups, a folder listing into a file list, and file status marks.
// Prints one line per figure: bench=stores case=<case> seconds=<s>.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "event/file_list.h"
#include "event/string_buffer.h"
#include "store/file_event_db.h"
#include "store/file_status_db.h"

namespace {

constexpr int kRecords = 100000;
constexpr int kStatusOps = 10000;

double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The start of one timed case: wall clock and process CPU time.
struct Mark {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double cpu = cpu_seconds();
};

// Prints the wall time on stdout; the CPU time goes to stderr, which shows
// how much of the wall time other processes on a shared machine took.
void report(const char* name, const Mark& start) {
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start.wall).count();
    std::printf("bench=stores case=%s seconds=%.3f\n", name, wall);
    std::fflush(stdout);
    std::fprintf(stderr, "bench=stores case=%s cpu_seconds=%.3f\n", name, cpu_seconds() - start.cpu);
}

std::string record_path(int i) {
    return "/big/file-" + std::to_string(i) + ".dat";
}

}  // namespace

int main() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tidewell-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    const std::filesystem::path dir = pattern;
    int failures = 0;
    {
        FileEventDB db;
        if (db.initialize((dir / "event-db.sqlite").string()) != 0) return 1;

        Mark start;
        DBFileInfo info;
        info.fileType = 0;
        info.fileSize = 4096;
        info.fileCheckSum = "0123456789abcdef0123456789abcdef";
        info.fileModTime = 1700000000;
        for (int i = 0; i < kRecords; ++i) {
            info.path = record_path(i);
            info.syncID = info.maxSyncID = static_cast<uint64_t>(i + 1);
            if (db.setEventInfo(info) != 0) ++failures;
        }
        report("commit_100k", start);

        start = Mark();
        DBFileInfo out;
        for (int i = 0; i < kRecords; ++i) {
            if (db.getEventInfo(record_path((i * 7919) % kRecords), out) != 1) ++failures;
        }
        report("lookup_100k", start);

        start = Mark();
        StringBuffer buf;
        FileList list(buf);
        if (db.getFileListWithoutRecursive(&list, "/big") != 0) ++failures;
        report("list_100k", start);
        int listed = 0;
        for (auto it = list.rbegin(); it != list.rend(); ++it) ++listed;
        if (listed != kRecords) ++failures;
    }
    {
        if (FileStatusDB::initialize((dir / "file-status.sqlite").string()) != 0) return 1;
        FileStatusInfo info;
        info.syncStatus = FSTAT_SYNCING;
        Mark start;
        for (int i = 0; i < kStatusOps; ++i) {
            info.path = "/home/user/sync" + record_path(i);
            if (FileStatusDB::setFileSyncStat(info) != 0) ++failures;
        }
        for (int i = 0; i < kStatusOps; ++i) {
            if (FileStatusDB::rmFileStatByPath("/home/user/sync" + record_path(i)) != 0) ++failures;
        }
        report("status_20k", start);
        FileStatusDB::destroy();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (failures) std::fprintf(stderr, "bench_stores: %d operations failed\n", failures);
    return failures ? 1 : 0;
}
