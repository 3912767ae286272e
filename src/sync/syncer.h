// The server event puller: the one task that brings the server's changes
// into the daemon.
//
// It visits the registered sessions in turn, one pull per pass. For a ready
// session (not paused, not being resumed by the progress syncer, no server
// events still queued) it asks the server for every change after the
// session's stored sync id, hands each change record to the event generator
// (which drops echoes and pushes server events), waits until the workers
// have carried them out, and only then stores the server's new sync id, so
// that a stop or a crash in between makes the next run pull the same
// changes again. A session with nothing new is up to date; its first full
// rescan, asked for when it was added, is issued then, once. When every
// session is up to date the task rests. Every pass ends in HandleError,
// which decides the wait before the next one and what the UI is told.
//
// Thread safety: DoTask and everything it calls run on the task's thread
// and alone touch `context`, `uptodate_set` and `stuck_warned`. Pause, Stop
// and Resume run on the control thread and write only the abort flag (see
// PullTask) and `last_error` before changing the task state. AddRescanEvent runs on the control thread;
// `rescan_events_lock` guards `rescan_events` and is never held while the
// event manager is called.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>

#include "net/connection.h"
#include "protocol/server_session.h"
#include "session/registry.h"
#include "sync/pull_task.h"
#include "value/pobject.h"

class Syncer : public PullTask {
public:
    // How long the task waits, in seconds; tests make them short.
    struct Options {
        unsigned uptodate_rest = 5;   // after every session was found up to date
        unsigned short_wait = 3;      // after a failure whose action is 1 (or unexpected)
        unsigned long_wait = 120;     // after a failure whose action is 2
        unsigned stuck_seconds = 30;  // workers that make no progress on a pull's events
        SessionLimits limits;         // the requests' answer and send limits
    };

    struct Context {
        Registry::Entry entry;  // the current session (a copy)
        Connection connection;  // a copy sharing the connection's channel pool
        uint64_t sync_id = 0;   // the stored sync id the current pull started from

        void clear() {
            entry.clear();
            connection.clear();
        }
    };

    Syncer();
    explicit Syncer(const Options& options);
    // Stops and joins the thread if it still runs.
    ~Syncer() override;

    int Resume() override;
    void DoTask() override;

    // The first full rescan of a session, issued once the session is first
    // found up to date (merge: merge what is on both sides). Replaces an
    // earlier request for the same session.
    void AddRescanEvent(uint64_t sess_id, bool merge);

private:
    int UpdateContext();
    bool IsSessionReady();
    int PullEvent();
    int PullEventFromServer(PObject& response);
    int ProtoPullEvent(const PObject& request, PObject& response);
    int ProcessEvents(const PObject& response);
    int WaitForWorkers();
    void StoreSyncId(uint64_t next);
    void SendRescanEvent(uint64_t sess_id);
    int HandleError(int err);

    Options options;
    Context context;
    int last_error = 0;

    std::mutex rescan_events_lock;  // guards rescan_events; a leaf lock
    std::map<uint64_t, bool> rescan_events;

    std::set<uint64_t> uptodate_set;
    // Sessions warned about as stuck, until one of their pulls completes.
    std::set<uint64_t> stuck_warned;
};
