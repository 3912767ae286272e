// How the application builds the tasks of its task table. Each function
// makes the task of one slot; an unset function leaves the slot empty, and
// empty slots are skipped when the table is started, paused or stopped.
#pragma once

#include <functional>
#include <memory>

#include "base/task.h"

struct TaskFactory {
    using Make = std::function<std::unique_ptr<Task>()>;
    Make detector;         // slot 0
    Make recycle_cleaner;  // slot 1
    Make syncer;           // slot 2
    Make progress_syncer;  // slot 3
    Make worker;           // slots 4 and up, worker_count - 1 of them

    // The tasks the daemon runs.
    static TaskFactory Default();
};
