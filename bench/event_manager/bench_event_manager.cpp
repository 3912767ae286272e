// Figures for the event manager: producers and workers at once over several
// sessions, as the daemon runs them.
//
// case=1m_8_sessions  1,000,000 local and server events over 8 sessions,
//                     pushed by 2 producer threads while 4 worker threads
//                     pull and finish them; the manager's own cost, with the
//                     file-status marks and UI notices switched off
//                     (fstat=off ui=off). Target: seconds <= 3.
//   seconds           first push to last done (wall clock)
//   push_seconds      until the producers were through
//   idle_pulls        pulls that found nothing to hand out
// case=10k_fstat      10,000 local events with the real file status
//                     database on a temporary file (ui=off): what the mark
//                     costs per event.
//   us_per_event      wall clock per pushed, pulled and finished event
//
// Usage: bench_event_manager [case ...]   (default: both)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/task.h"
#include "session/registry.h"
#include "store/file_status_db.h"
#include "sync/event_manager.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Worker : Task {};

void RegisterSessions(int count) {
    for (int s = 1; s <= count; ++s) {
        Registry::Entry e;
        e.sess_id = static_cast<uint64_t>(s);
        e.local_path = "/srv/sync/session-" + std::to_string(s);
        Registry::getInstance().Set(e);
    }
}

// Producers push `total` events between them (a third server changes), while
// `pullers` workers pull and finish until everything is done.
void RunConcurrent(EventManager& em, size_t total, int sessions, int producers, int pullers, double& seconds,
                   double& push_seconds, long& idle_pulls) {
    std::atomic<size_t> finished{0};
    std::atomic<long> idle{0};
    std::atomic<int> producing{producers};
    const Clock::time_point start = Clock::now();
    std::atomic<double> pushed_at{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            char path[64];
            Event e;
            for (size_t i = static_cast<size_t>(p); i < total; i += static_cast<size_t>(producers)) {
                e.m_sess_id = 1 + i % static_cast<size_t>(sessions);
                std::snprintf(path, sizeof path, "/photos/%03zu/img-%07zu.jpg", (i / 64) % 1000, i);
                e.m_path = path;
                if (i % 3 == 0) {
                    e.m_type = Event::EV_CREATE;
                    e.m_mode = 0;
                    e.m_sync_id = i + 1;
                    em.PushServerEvent(e);
                } else {
                    e.m_type = Event::EV_MODIFY;
                    e.m_mode = 0;
                    e.m_sync_id = 0;
                    em.PushLocalEvent(e);
                }
            }
            if (--producing == 0) pushed_at = SecondsSince(start);
        });
    }
    std::vector<std::unique_ptr<Worker>> workers;
    for (int w = 0; w < pullers; ++w) workers.push_back(std::make_unique<Worker>());
    for (auto& w : workers) {
        threads.emplace_back([&, task = w.get()] {
            Event e;
            while (finished.load(std::memory_order_relaxed) < total) {
                if (em.PullEvent(task, e) != 0) {
                    ++idle;
                    std::this_thread::yield();
                    continue;
                }
                while (em.DoneEvent(task, e) == -1) {
                }
                ++finished;
            }
        });
    }
    for (auto& t : threads) t.join();
    seconds = SecondsSince(start);
    push_seconds = pushed_at.load();
    idle_pulls = idle.load();
}

void Case1m8Sessions() {
    constexpr size_t kEvents = 1000000;
    constexpr int kSessions = 8;
    RegisterSessions(kSessions);
    EventManager em;
    em.SetSyncingNotifier([](const Event&) {});
    em.SetSyncingMarker([](const ustring&, bool) { return 0; });
    double seconds = 0, push_seconds = 0;
    long idle = 0;
    RunConcurrent(em, kEvents, kSessions, 2, 4, seconds, push_seconds, idle);
    std::printf(
        "bench=event_manager case=1m_8_sessions events=%zu sessions=%d producers=2 pullers=4 fstat=off ui=off "
        "seconds=%.3f push_seconds=%.3f idle_pulls=%ld target_seconds=3\n",
        kEvents, kSessions, seconds, push_seconds, idle);
}

void Case10kFstat() {
    constexpr size_t kEvents = 10000;
    char pattern[] = "/tmp/bench-event-manager-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    const std::string dir = pattern;
    if (FileStatusDB::initialize(dir + "/fstat.sqlite") != 0) std::abort();
    RegisterSessions(1);
    EventManager em;
    em.SetSyncingNotifier([](const Event&) {});
    double seconds = 0, push_seconds = 0;
    long idle = 0;
    RunConcurrent(em, kEvents, 1, 1, 4, seconds, push_seconds, idle);
    std::printf(
        "bench=event_manager case=10k_fstat events=%zu sessions=1 producers=1 pullers=4 fstat=on ui=off "
        "seconds=%.3f us_per_event=%.1f\n",
        kEvents, seconds, seconds * 1e6 / static_cast<double>(kEvents));
    FileStatusDB::destroy();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> cases;
    for (int i = 1; i < argc; ++i) cases.push_back(argv[i]);
    if (cases.empty()) cases = {"1m_8_sessions", "10k_fstat"};
    for (const std::string& c : cases) {
        if (c == "1m_8_sessions") {
            Case1m8Sessions();
        } else if (c == "10k_fstat") {
            Case10kFstat();
        } else {
            std::fprintf(stderr, "unknown case %s\n", c.c_str());
            return 2;
        }
    }
    return 0;
}
