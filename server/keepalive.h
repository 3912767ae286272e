// Keep-alive notices for answers that take long: while a connection works
// on a request (a large commit, a patch to compute, an injected delay), one
// scheduler thread writes {"type": "keep_alive"} on its channel every
// `interval` seconds, so that the client's answer limit is not reached.
//
// Thread safety: Register and Unregister may be called from any thread.
// Each registration has its own mutex, held while a notice is written; the
// connection thread must not touch its channel between Register and
// Unregister, and after Unregister returns the scheduler never touches it
// again. The scheduler's list lock is never held while writing, so a
// client that stops reading stalls only its own connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "net/channel.h"

namespace tw_server {

class KeepAliveScheduler {
public:
    explicit KeepAliveScheduler(uint32_t interval_seconds);
    ~KeepAliveScheduler();
    KeepAliveScheduler(const KeepAliveScheduler&) = delete;
    KeepAliveScheduler& operator=(const KeepAliveScheduler&) = delete;

    // Starts notices on `ch`, the first one `interval` seconds from now.
    uint64_t Register(Channel& ch);
    // Stops them. Returns how many were sent and whether one failed (the
    // connection is then broken).
    void Unregister(uint64_t id, uint32_t* sent = nullptr, bool* failed = nullptr);

private:
    struct Busy {
        std::mutex lock;  // held while a notice is written; guards ch, active, failed, sent
        Channel* ch = nullptr;
        bool active = true;
        bool failed = false;
        uint32_t sent = 0;
        std::chrono::steady_clock::time_point due;  // guarded by list_lock_
    };

    void Run();

    const std::chrono::seconds interval_;
    std::mutex list_lock_;  // guards busy_, next_id_, stop_ and every Busy::due; never held with a Busy::lock
    std::condition_variable wake_;
    std::map<uint64_t, std::shared_ptr<Busy>> busy_;
    uint64_t next_id_ = 1;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace tw_server
