#include "worker/worker_task.h"

#include <chrono>

#include "base/logger.h"

namespace {

const char* const kComponent = "worker_debug";

}  // namespace

void WorkerTask::Barrier::increase(int worker_id) {
    std::lock_guard<std::mutex> guard(mutex);
    ++count;
    TW_DEBUG(kComponent, "worker %d register barrier\n", worker_id);
}

void WorkerTask::Barrier::signal(int worker_id) {
    std::lock_guard<std::mutex> guard(mutex);
    if (count > 0) --count;
    TW_DEBUG(kComponent, "worker %d reach barrier\n", worker_id);
    // Under the lock: the waiter cannot see count 0, return and destroy the
    // barrier before this call is done with it.
    cond.notify_all();
}

void WorkerTask::Barrier::wait(unsigned warn_seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    auto step = std::chrono::seconds(warn_seconds > 0 ? warn_seconds : 10);
    while (count > 0) {
        if (!cond.wait_for(lock, step, [this] { return count == 0; }))
            TW_WARNING(kComponent, "still waiting for %u workers to let go\n", count);
    }
}

uint32_t WorkerTask::Barrier::pending() {
    std::lock_guard<std::mutex> guard(mutex);
    return count;
}
