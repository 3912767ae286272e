// The daemon's application object: a message loop thread on which every
// control request runs, one at a time in arrival order, and the task table
// that exists between "link" and "unlink".
//
// The control actions (sessions, connections, status) are members, each
// concern in a file of its own: session_actions.cpp, connection_actions.cpp,
// status_action.cpp. They run on the loop thread only, so they never run
// concurrently with each other; what they share with the tasks (registry,
// connection table, event manager, databases) is reached through those
// objects' own locks. Changes that the workers must not see half done are
// bracketed by pause_worker(), interrupt_worker(filter) and resume_worker().
#pragma once

#include <pthread.h>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "base/task.h"
#include "base/ustring.h"
#include "daemon/task_factory.h"
#include "session/registry.h"
#include "value/pobject.h"
#include "worker/worker_task.h"

class Detector;
class Syncer;
class ProgressSyncer;

class TidewellApp {
public:
    // Fixed slots of the task table; workers follow from TASK_FIRST_WORKER.
    enum {
        TASK_DETECTOR = 0,
        TASK_RECYCLE_CLEANER = 1,
        TASK_SYNCER = 2,
        TASK_PROGRESS_SYNCER = 3,
        TASK_FIRST_WORKER = 4,
    };

    // One queued request. Without `result`, `mutex`, `cond` and `done` it
    // gets no reply and no signal.
    struct msg_t {
        const PObject* msg = nullptr;
        PObject* result = nullptr;
        std::mutex* mutex = nullptr;
        std::condition_variable* cond = nullptr;
        bool* done = nullptr;
        int* status = nullptr;
    };

    TidewellApp();
    explicit TidewellApp(TaskFactory factory);
    // Stops the loop if it still runs (as kill() does).
    ~TidewellApp();
    TidewellApp(const TidewellApp&) = delete;
    TidewellApp& operator=(const TidewellApp&) = delete;

    // Starts the message loop thread: 0, or -1 when it already ran or the
    // thread cannot be created.
    int run();
    // Queues `msg` and blocks until its handler has filled `result` (0), or
    // -1 at once, with `result` untouched, when the loop is not running or
    // ends before handling it.
    int send_message(const PObject& msg, PObject& result);
    int send_message(const PObject& msg);
    // Queues {"action": "stop"} without reply and waits for the loop to end.
    void kill();

    // Dispatches one request by its "action" member.
    void handle_control(const PObject& msg, PObject& reply);

    int do_link(const PObject& msg, PObject& reply);
    int do_unlink();
    bool is_linked() const { return linked; }

    int init_env();
    void destroy_env();
    int init_members();
    int init_tasks();
    void destroy_tasks();
    void start_all();
    int stop_all();
    void pause_all();
    void resume_all();
    void pause_worker();
    void resume_worker();
    // Asks every worker to let go of the work that `filter` matches and waits
    // until they have (see worker/worker_task.h). Returns at once when no
    // worker is busy on a match, and with no workers at all.
    void interrupt_worker(const WorkerTask::AbortFilter& filter);
    // The two syncers: a pause ends a pull in flight within about a second
    // (their abort flag), so that nothing holds a channel of a connection
    // that is being reloaded.
    void pause_syncers();
    void resume_syncers();
    void print_settings();

    // Session actions.
    void add_session(const PObject& msg, PObject& reply);
    void reload_session(const PObject& msg, PObject& reply);
    void remove_session(const PObject& msg, PObject& reply);
    void pause_session(const PObject& msg, PObject& reply);
    void resume_session(const PObject& msg, PObject& reply);
    void add_event(const PObject& msg, PObject& reply);
    // 0, or -1 (logged) when the session cannot be created.
    int create_registry_entry(const PObject& create_info);
    int create_session_environment(const ustring& local_path, const ustring& config_path);
    void remove_one_session(uint64_t sess_id, PObject& reply);
    void reload_filter(Registry::Entry& entry, PObject& reply);
    void change_permission(Registry::Entry& entry, bool read_only);
    void change_recursive(Registry::Entry& entry, bool recursive);
    void reload_local_events(Registry::Entry& entry);
    int load_resume_condition(uint64_t sess_id);
    // Moves every sub-folder of the session's folder (but the working
    // directory) into its recycle folder, recorded in its recycle table.
    void recycle_all_dir(const Registry::Entry& entry);

    // Connection actions.
    void add_connection(const PObject& msg, PObject& reply);
    void reload_connection(const PObject& msg, PObject& reply);
    void remove_connection(const PObject& msg, PObject& reply);

    // The status report.
    void get_status(const PObject& msg, PObject& reply);
    void get_session_status(PObject& list);
    void get_connection_status(PObject& list);
    void get_worker_status(PObject& list);

    // The task of one slot, or nullptr (no table, or an empty slot).
    Task* get_task(unsigned index) const;
    unsigned get_task_count() const { return task_count; }
    // The tasks of the fixed slots, or nullptr (not linked, or the slot holds
    // another kind of task).
    Detector* detector() const;
    Syncer* syncer() const;
    ProgressSyncer* progress_syncer() const;
    // The tasks of the worker slots that implement the worker interface.
    std::vector<WorkerTask*> workers() const;

private:
    static void* run_thread(void* arg);
    void do_main_loop();
    // Wakes every sender still queued, with -1, once the loop has ended.
    void fail_pending_locked();

    int app_running = 0;
    bool linked = false;
    TaskFactory factory;
    std::vector<std::unique_ptr<Task>> task;
    unsigned task_count = 0;

    std::deque<msg_t> msg_queue;
    // Guards msg_queue, thread_started and loop_open. Lock order: msg_lock
    // before a queued request's own mutex (fail_pending_locked answers under
    // msg_lock); a sender takes its mutex only after queueing.
    std::mutex msg_lock;
    std::condition_variable msg_cond;
    pthread_t msg_thread{};
    bool thread_started = false;
    // Under msg_lock: whether the loop accepts requests.
    bool loop_open = false;
};
