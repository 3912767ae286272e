// The progress syncer: the task that fetches what loosened selective-sync
// filters had held back.
//
// When a session's filters change so that items hidden so far are to be
// synchronised, a resume condition is recorded (the session, a sync id to
// start from, and the filter that no longer applies) in the filter database
// and the progress cache. This task carries the conditions out one at a
// time, in cache order: it asks the server for the session's changes after
// the condition's sync id, restricted to what the former filter matched,
// hands them to the event generator, waits until the workers have carried
// them out, records the server's new sync id in the condition, and repeats
// until the server has nothing more; then the condition is deleted. While a
// session has conditions in the cache the event puller leaves it alone.
//
// A condition whose session is paused, busy, unregistered or without a
// connection is passed over for the first ready one behind it, so that one
// such session cannot hold up the conditions of every other.
//
// Thread safety: DoTask and everything it calls run on the task's thread
// and alone touch `context`. Pause, Stop and Resume run on the control
// thread and write only the abort flag (see PullTask) before changing the
// task state. `conn_state` is
// guarded by `conn_state_lock`, a leaf lock.
#pragma once

#include <cstdint>
#include <mutex>

#include "net/connection.h"
#include "protocol/server_session.h"
#include "session/registry.h"
#include "store/progress_cache.h"
#include "sync/pull_task.h"
#include "value/pobject.h"

class ProgressSyncer : public PullTask {
public:
    enum ConnectionState { CONNECTED = 0, DISCONNECTED = 1, IDLE = 2 };

    // How long the task waits, in seconds; tests make them short.
    struct Options {
        unsigned short_wait = 3;      // after a failure whose action is 1 (or unexpected)
        unsigned long_wait = 120;     // after a failure whose action is 2
        unsigned stuck_seconds = 30;  // workers that make no progress on a pull's events
        SessionLimits limits;         // the requests' answer and send limits
    };

    struct Context {
        uint64_t row_id = 0;                   // the filter-database row of the current condition
        ProgressCache::Entry progress_entry;   // the current condition (a copy)
        Connection connection;                 // a copy sharing the connection's channel pool
        Registry::Entry reg_entry;             // the condition's session (a copy)

        void clear() {
            row_id = 0;
            connection.clear();
            progress_entry.clear();
            reg_entry.clear();
        }
    };

    ProgressSyncer();
    explicit ProgressSyncer(const Options& options);
    // Stops and joins the thread if it still runs.
    ~ProgressSyncer() override;

    void DoTask() override;

private:
    int UpdateContext();
    bool IsSessionReady(const Registry::Entry& entry);
    int PullEvent();
    void PrepareRequest(PObject& request);
    int ProtoPullEvent(const PObject& request, PObject& response);
    int ProcessEvents(const PObject& response);
    int WaitForWorkers();
    int HandleError(int err);
    void SetConnectionState(ConnectionState state);

    Options options;
    Context context;

    std::mutex conn_state_lock;  // guards conn_state
    ConnectionState conn_state = IDLE;
};
