#include "daemon/tidewell_app.h"

#include <cstring>
#include <utility>

#include "base/logger.h"
#include "base/settings.h"
#include "sync/detector.h"
#include "sync/progress_syncer.h"
#include "sync/syncer.h"

namespace {

const char* const kComponent = "client_debug";

}  // namespace

TidewellApp::TidewellApp() : TidewellApp(TaskFactory::Default()) {}

TidewellApp::TidewellApp(TaskFactory f) : factory(std::move(f)) {}

TidewellApp::~TidewellApp() {
    kill();
    if (linked) do_unlink();
}

int TidewellApp::run() {
    std::lock_guard<std::mutex> guard(msg_lock);
    if (app_running || thread_started) return -1;
    app_running = 1;
    loop_open = true;
    int err = pthread_create(&msg_thread, nullptr, &TidewellApp::run_thread, this);
    if (err != 0) {
        TW_ERROR(kComponent, "pthread_create: %s (%d)\n", std::strerror(err), err);
        app_running = 0;
        loop_open = false;
        return -1;
    }
    thread_started = true;
    return 0;
}

void* TidewellApp::run_thread(void* arg) {
    static_cast<TidewellApp*>(arg)->do_main_loop();
    return nullptr;
}

int TidewellApp::send_message(const PObject& msg, PObject& result) {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    int status = -1;
    {
        std::lock_guard<std::mutex> guard(msg_lock);
        if (!loop_open) return -1;
        msg_queue.push_back(msg_t{&msg, &result, &mutex, &cond, &done, &status});
    }
    msg_cond.notify_one();
    // The loop sets `done` under `mutex` before signalling, so a signal that
    // comes before the wait is not lost, a spurious wake-up never returns
    // early, and `mutex` and `cond` outlive the signal. `mutex` is taken only
    // after the request is queued: the loop takes `msg_lock` and then a
    // queued sender's mutex, so a sender must never hold its mutex while it
    // waits for `msg_lock`.
    std::unique_lock<std::mutex> own(mutex);
    cond.wait(own, [&done] { return done; });
    return status;
}

int TidewellApp::send_message(const PObject& msg) {
    PObject ignored;
    return send_message(msg, ignored);
}

void TidewellApp::kill() {
    PObject stop;
    stop["action"] = "stop";
    {
        std::lock_guard<std::mutex> guard(msg_lock);
        if (!thread_started) return;
        if (loop_open) msg_queue.push_back(msg_t{&stop, nullptr, nullptr, nullptr, nullptr, nullptr});
    }
    msg_cond.notify_one();
    pthread_join(msg_thread, nullptr);
    std::lock_guard<std::mutex> guard(msg_lock);
    thread_started = false;
}

void TidewellApp::do_main_loop() {
    TW_INFO(kComponent, "main thread starts receiving messages\n");
    while (app_running) {
        msg_t m;
        {
            std::unique_lock<std::mutex> lock(msg_lock);
            while (msg_queue.empty()) {
                TW_DEBUG(kComponent, "waiting for instructions\n");
                msg_cond.wait(lock);
            }
            m = msg_queue.front();
            msg_queue.pop_front();
        }
        PObject discarded;
        handle_control(*m.msg, m.result ? *m.result : discarded);
        if (m.result && m.mutex && m.cond && m.done) {
            std::lock_guard<std::mutex> guard(*m.mutex);
            (*m.result)["ack"] = "ok";
            *m.status = 0;
            *m.done = true;
            m.cond->notify_one();
        }
    }
    {
        std::lock_guard<std::mutex> guard(msg_lock);
        loop_open = false;
        fail_pending_locked();
    }
    TW_INFO(kComponent, "main thread down\n");
}

void TidewellApp::fail_pending_locked() {
    for (msg_t& m : msg_queue) {
        if (!(m.mutex && m.cond && m.done)) continue;
        std::lock_guard<std::mutex> guard(*m.mutex);
        *m.status = -1;
        *m.done = true;
        m.cond->notify_one();
    }
    msg_queue.clear();
}

void TidewellApp::handle_control(const PObject& msg, PObject& reply) {
    TW_DEBUG(kComponent, ">>> %s\n", msg.toString().c_str());
    if (!msg.hasMember("action")) return;
    ustring action = msg["action"].asString();
    if (action == "stop") {
        app_running = 0;
        do_unlink();
    } else if (action == "link") {
        do_link(msg, reply);
    } else if (action == "unlink") {
        do_unlink();
    } else if (action == "pause") {
        pause_session(msg, reply);
    } else if (action == "resume") {
        resume_session(msg, reply);
    } else if (action == "link_connection") {
        add_connection(msg, reply);
    } else if (action == "reload_connection") {
        reload_connection(msg, reply);
    } else if (action == "unlink_connection") {
        remove_connection(msg, reply);
    } else if (action == "reload_session") {
        reload_session(msg, reply);
    } else if (action == "add_session") {
        add_session(msg, reply);
    } else if (action == "remove_session") {
        remove_session(msg, reply);
    } else if (action == "get_status") {
        get_status(msg, reply);
    } else if (action == "add_event") {
        add_event(msg, reply);
    } else {
        TW_ERROR(kComponent, "<<< Unknown IPC action: %s\n", action.c_str());
    }
}

int TidewellApp::do_link(const PObject&, PObject& reply) {
    // A second environment and task table over the first would leave the old
    // tasks running on torn-down state: the UI must unlink first.
    if (linked) {
        TW_WARNING(kComponent, "daemon is already linked, link refused\n");
        reply["error"] = "Already linked";
        return -1;
    }
    if (init_env() < 0) {
        TW_ERROR(kComponent, "failed to initialize environment\n");
        reply["error"] = "Failed to initialize environment";
        destroy_env();
        return -1;
    }
    if (init_members() < 0) {
        TW_ERROR(kComponent, "failed to initialize members\n");
        reply["error"] = "Failed to initialize members";
        destroy_tasks();
        destroy_env();
        return -1;
    }
    start_all();
    linked = true;
    return 0;
}

int TidewellApp::do_unlink() {
    TW_INFO(kComponent, "unlink daemon\n");
    stop_all();
    destroy_tasks();
    destroy_env();
    linked = false;
    return 0;
}

int TidewellApp::init_members() {
    return init_tasks();
}

int TidewellApp::init_tasks() {
    unsigned worker_count = Settings::getInstance().getWorkerCount();
    if (worker_count < 2) {
        TW_ERROR(kComponent, "worker_count %u leaves no worker task\n", worker_count);
        return -1;
    }
    task_count = worker_count + 3;
    task.clear();
    task.resize(task_count);
    auto make = [](const TaskFactory::Make& f) { return f ? f() : std::unique_ptr<Task>(); };
    task[TASK_DETECTOR] = make(factory.detector);
    task[TASK_RECYCLE_CLEANER] = make(factory.recycle_cleaner);
    task[TASK_SYNCER] = make(factory.syncer);
    task[TASK_PROGRESS_SYNCER] = make(factory.progress_syncer);
    for (unsigned i = TASK_FIRST_WORKER; i < task_count; ++i) task[i] = make(factory.worker);
    TW_DEBUG(kComponent, "totally %lu tasks\n", static_cast<unsigned long>(task_count));
    return 0;
}

void TidewellApp::destroy_tasks() {
    task.clear();
    task_count = 0;
}

Task* TidewellApp::get_task(unsigned index) const {
    return index < task.size() ? task[index].get() : nullptr;
}

void TidewellApp::start_all() {
    for (auto& t : task)
        if (t) t->Run();
}

int TidewellApp::stop_all() {
    for (auto& t : task)
        if (t) t->Stop();
    int result = 0;
    for (auto& t : task)
        if (t) result = t->Join();
    return result;
}

void TidewellApp::pause_all() {
    for (auto& t : task)
        if (t) t->Pause();
}

void TidewellApp::resume_all() {
    for (auto& t : task)
        if (t) t->Resume();
}

void TidewellApp::pause_worker() {
    for (unsigned i = TASK_FIRST_WORKER; i < task.size(); ++i)
        if (task[i]) task[i]->Pause();
}

void TidewellApp::resume_worker() {
    for (unsigned i = TASK_FIRST_WORKER; i < task.size(); ++i)
        if (task[i]) task[i]->Resume();
}

void TidewellApp::interrupt_worker(const WorkerTask::AbortFilter& filter) {
    WorkerTask::Barrier barrier;
    for (WorkerTask* worker : workers()) worker->SetAbort(filter, &barrier);
    barrier.wait();
}

void TidewellApp::pause_syncers() {
    for (unsigned i : {TASK_SYNCER, TASK_PROGRESS_SYNCER})
        if (Task* t = get_task(i)) t->Pause();
}

void TidewellApp::resume_syncers() {
    for (unsigned i : {TASK_SYNCER, TASK_PROGRESS_SYNCER})
        if (Task* t = get_task(i)) t->Resume();
}

Detector* TidewellApp::detector() const {
    return dynamic_cast<Detector*>(get_task(TASK_DETECTOR));
}

Syncer* TidewellApp::syncer() const {
    return dynamic_cast<Syncer*>(get_task(TASK_SYNCER));
}

ProgressSyncer* TidewellApp::progress_syncer() const {
    return dynamic_cast<ProgressSyncer*>(get_task(TASK_PROGRESS_SYNCER));
}

std::vector<WorkerTask*> TidewellApp::workers() const {
    std::vector<WorkerTask*> out;
    for (unsigned i = TASK_FIRST_WORKER; i < task.size(); ++i)
        if (auto* w = dynamic_cast<WorkerTask*>(task[i].get())) out.push_back(w);
    return out;
}

void TidewellApp::print_settings() {
    Settings& s = Settings::getInstance();
    TW_DEBUG(kComponent, "======= Settings =======\n");
    TW_DEBUG(kComponent, "pid_file_path: %s\n", s.getPidFilePath().c_str());
    TW_DEBUG(kComponent, "log_file_path: %s\n", s.getLogFilePath().c_str());
    TW_DEBUG(kComponent, "log_level_file_path: %s\n", s.getLogLevelFilePath().c_str());
    TW_DEBUG(kComponent, "worker_count: %u\n", s.getWorkerCount());
    TW_DEBUG(kComponent, "socket_path: %s\n", s.getSocketPath().c_str());
    TW_DEBUG(kComponent, "is_foreground: %s\n", s.isForeground() ? "true" : "false");
    TW_DEBUG(kComponent, "fstat_db_path: %s\n", s.getFStatDbPath().c_str());
    TW_DEBUG(kComponent, "filter_db_path: %s\n", s.getFilterDbPath().c_str());
    TW_DEBUG(kComponent, "cert_path: %s\n", s.getCertPath().c_str());
}
