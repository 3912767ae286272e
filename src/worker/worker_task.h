// What the rest of the daemon asks of a worker task, beyond the task states:
// to let go of the work that a control action is about to change, and to say
// what it is transferring. The worker task derives from WorkerTask and
// implements the two operations below; the application reaches every task
// in the worker slots of its table through this interface only.
//
// Interrupting workers (the control actions' "pause, interrupt, wait"):
//   1. The control thread pauses the workers (Task::Pause: a paused worker
//      finishes the transfer in progress, then sleeps).
//   2. It makes one Barrier and calls SetAbort(filter, &barrier) on every
//      worker. A worker whose current event matches the filter raises its
//      abort flag (the flag its channel and file readers poll) and registers
//      on the barrier; an idle worker is left alone and is not counted.
//   3. It waits on the barrier. Each registered worker signals it once it
//      has finished handling that event (done, handed back or kept for a
//      retry) and before it takes another: at the top of its loop, before it
//      looks at its state. So the wait ends when no worker is still working
//      on a matching session or connection; with no workers, or none busy on
//      a match, it ends at once.
//   Two rules on the worker's side close the gaps between the steps:
//   - it takes an event (pulls it, or starts a follow-up) and publishes it
//     as current in one step under its state lock, and only while its state
//     is RUN, checked inside that step. The control thread pauses before it
//     interrupts, so a worker either published its event before SetAbort
//     looked (and is interrupted) or sees the pause and takes nothing;
//     otherwise an event pulled just before the pause would be carried out
//     while the control action believes no worker is busy;
//   - it forgets an old abort request (clears its flag) before it publishes
//     its next event, never after: a request that comes once the event
//     shows must abort that event.
//
// Thread safety: SetAbort and GetWorkingStatus are called from the
// application's control thread while the worker runs on its own; the worker
// guards what they read and write (its current event and the barrier it
// owes a signal) with its own state lock, taken before the barrier's lock,
// the task's state mutex and the event manager's lock (and never taken
// under any of them: the event manager's SetAbort(bool) only sets the flag).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/task.h"
#include "base/ustring.h"

class WorkerTask : public Task {
public:
    enum WorkingType {
        W_TYPE_NONE = 0,
        W_TYPE_UPLOAD = 1,
        W_TYPE_DOWNLOAD = 2,
    };

    // Which work an interruption is about: an optional session id and an
    // optional connection id. A worker busy with session S on connection N
    // matches when a session id is set and is 0 or S, or when a connection id
    // is set and is 0 or N. A filter with neither set matches nothing.
    struct AbortFilter {
        uint64_t sess_id = 0;
        uint64_t conn_id = 0;
        bool sess_id_set = false;
        bool conn_id_set = false;

        void setSession(uint64_t id) {
            sess_id = id;
            sess_id_set = true;
        }
        void setConnection(uint64_t id) {
            conn_id = id;
            conn_id_set = true;
        }
        bool matchSession(uint64_t s) const { return sess_id_set && (sess_id == 0 || sess_id == s); }
        bool matchConnection(uint64_t c) const { return conn_id_set && (conn_id == 0 || conn_id == c); }
        bool match(uint64_t s, uint64_t c) const { return matchSession(s) || matchConnection(c); }
    };

    // Counts the workers that still owe a signal. One barrier serves one
    // interruption and lives on the control thread's stack until wait()
    // returns; a worker must not touch it after its signal.
    class Barrier {
    public:
        // A worker registers (under its own state lock).
        void increase(int worker_id);
        // A registered worker has let go.
        void signal(int worker_id);
        // Blocks until every registered worker has signalled; logs a warning
        // every `warn_seconds` while some are still busy.
        void wait(unsigned warn_seconds = 10);
        uint32_t pending();

    private:
        std::mutex mutex;  // guards count; a leaf lock
        std::condition_variable cond;
        uint32_t count = 0;
    };

    using Task::SetAbort;

    // When the current event is abortable (it belongs to a session) and
    // `filter` matches its session or its connection: raise the abort flag
    // and, with a barrier, register on it and remember it, to be signalled
    // once the event is finished. Otherwise nothing.
    virtual void SetAbort(const AbortFilter& filter, Barrier* barrier) = 0;

    // What the worker is working on. Paused or stopped, and idle: session
    // 0, empty path, W_TYPE_NONE, sizes 0. While no file body is moving the
    // sizes are 0.
    virtual void GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& w_type, uint64_t& sent,
                                  uint64_t& total_size) = 0;
};
