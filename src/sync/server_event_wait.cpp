#include "sync/server_event_wait.h"

#include <chrono>
#include <thread>

#include "base/logger.h"
#include "session/registry.h"
#include "sync/event_manager.h"

namespace {

using ull = unsigned long long;

ServerEventWait Logged(ServerEventWait outcome, uint64_t sess_id, const char* component) {
    switch (outcome) {
        case ServerEventWait::kGone:
            TW_WARNING(component, "session %llu is removed, events might be dropped\n", (ull)sess_id);
            break;
        case ServerEventWait::kStopped:
            TW_WARNING(component, "Program stopped while syncing files ...\n");
            break;
        case ServerEventWait::kRemoved:
            TW_WARNING(component, "session %llu is removed while there are events\n", (ull)sess_id);
            break;
        case ServerEventWait::kPaused:
            TW_NOTE(component, "session %llu is paused while there are events\n", (ull)sess_id);
            break;
        case ServerEventWait::kDone:
        case ServerEventWait::kStuck:
            break;
    }
    return outcome;
}

ServerEventWait Wait(Task& task, EventManager& events, uint64_t sess_id, unsigned stuck_seconds,
                     const char* component) {
    using Clock = std::chrono::steady_clock;
    size_t lowest = SIZE_MAX;
    Clock::time_point since = Clock::now();
    for (;;) {
        size_t pending = events.GetPendingServerEvent(sess_id);
        Registry::Entry entry;
        bool registered = Registry::getInstance().Find(sess_id, entry) == 1;
        if (pending == 0) return registered ? ServerEventWait::kDone : ServerEventWait::kGone;

        Task::State state = task.GetState();
        if (state == Task::STOP) return ServerEventWait::kStopped;
        if (state == Task::PAUSE) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        if (!registered) return ServerEventWait::kRemoved;
        if (entry.pause) return ServerEventWait::kPaused;

        Clock::time_point now = Clock::now();
        if (pending < lowest) {
            lowest = pending;
            since = now;
        } else if (now - since >= std::chrono::seconds(stuck_seconds)) {
            return ServerEventWait::kStuck;
        }
        TW_DEBUG(component, "Wait for workers (still %zu pending server events).\n", pending);
        task.Wait(1);
    }
}

}  // namespace

ServerEventWait WaitForServerEvents(Task& task, EventManager& events, uint64_t sess_id, unsigned stuck_seconds,
                                    const char* component) {
    return Logged(Wait(task, events, sess_id, stuck_seconds, component), sess_id, component);
}
