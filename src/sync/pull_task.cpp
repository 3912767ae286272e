#include "sync/pull_task.h"

#include <atomic>

#include "base/logger.h"

PullTask::PullTask(SessionForm (*make_form)(int*), const SessionLimits& limits, unsigned short_wait,
                   unsigned long_wait, const char* component)
    : form(make_form(&abort_flag)), short_wait_(short_wait), long_wait_(long_wait), component_(component) {
    form.stop = [this] { return GetState() != RUN; };
    form.limits = limits;
}

int PullTask::Pause() {
    std::atomic_ref<int>(abort_flag).store(1);
    return Task::Pause();
}

int PullTask::Stop() {
    std::atomic_ref<int>(abort_flag).store(1);
    return Task::Stop();
}

int PullTask::Resume() {
    std::atomic_ref<int>(abort_flag).store(0);
    return Task::Resume();
}

unsigned PullTask::WaitFor(int action) {
    if (action == 0) return 0;
    if (action == 2) return long_wait_;
    if (action < 0) TW_CRIT(component_, "abort()\n");
    return short_wait_;
}
