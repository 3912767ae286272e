// The daemon's application object: a message loop thread on which every
// control request runs, one at a time in arrival order, and the task table
// that exists between "link" and "unlink".
#pragma once

#include <pthread.h>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "base/task.h"
#include "daemon/task_factory.h"
#include "value/pobject.h"

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
    void print_settings();

    // The task of one slot, or nullptr (no table, or an empty slot).
    Task* get_task(unsigned index) const;
    unsigned get_task_count() const { return task_count; }

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
