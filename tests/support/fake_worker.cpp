#include "support/fake_worker.h"

#include <chrono>
#include <thread>

#include "session/registry.h"
#include "sync/event_manager.h"

namespace tidewell::testing {

namespace {

void nap() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

FakeWorker::FakeWorker(Control& control) : control_(control) {}

FakeWorker::~FakeWorker() {
    Stop();
    Join();
}

int FakeWorker::Stop() {
    abort_flag_ = 1;
    return Task::Stop();
}

void FakeWorker::NotifyAbortDone() {
    std::lock_guard<std::mutex> guard(state_lock_);
    if (barrier_) barrier_->signal(GetId());
    barrier_ = nullptr;
}

void FakeWorker::DoTask() {
    Event e;
    bool follow_up = false;
    for (;;) {
        NotifyAbortDone();
        State state = GetState();
        if (state == STOP) {
            if (follow_up) EventManager::getInstance().RedoEvent(this, e);
            return;
        }
        if (state == PAUSE || !Take(e, follow_up)) {
            nap();
            continue;
        }
        follow_up = Process(e);
    }
}

bool FakeWorker::Take(Event& e, bool follow_up) {
    // Pulled and published in one step, and only while running: see the
    // interface's rules.
    std::lock_guard<std::mutex> guard(state_lock_);
    if (GetState() != RUN) return false;
    if (!follow_up) {
        if (EventManager::getInstance().PullEvent(this, e) < 0) return false;
        ++control_.taken;
    }
    Registry::Entry entry;
    Registry::getInstance().Find(e.m_sess_id, entry);
    // An abort asked before this point is about the previous event.
    abort_flag_ = 0;
    current_.session_id = e.m_sess_id;
    current_.connection_id = entry.conn_id;
    current_.path = e.m_path;
    return true;
}

bool FakeWorker::Process(Event& e) {
    EventManager& events = EventManager::getInstance();
    bool done = false;
    for (;;) {
        if (abort_flag_ || GetState() == STOP) {
            ++control_.aborted;
            break;
        }
        int mode = e.m_sess_id == control_.stuck_session ? kRedoForever : control_.mode.load();
        if (mode == kComplete) {
            done = true;
            break;
        }
        if (mode == kRedoForever) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            break;
        }
        nap();
    }
    {
        std::lock_guard<std::mutex> guard(state_lock_);
        current_ = Current();
    }
    if (!done) {
        events.RedoEvent(this, e);
        return false;
    }
    ++control_.done;
    // A newer event merged meanwhile comes back to this worker, to be
    // carried out next (after the barrier, if any, is signalled).
    return events.DoneEvent(this, e) != 0;
}

void FakeWorker::SetAbort(const AbortFilter& filter, Barrier* barrier) {
    std::lock_guard<std::mutex> guard(state_lock_);
    if (current_.session_id == 0 || !filter.match(current_.session_id, current_.connection_id)) return;
    abort_flag_ = 1;
    if (barrier) {
        barrier->increase(GetId());
        barrier_ = barrier;
    }
}

void FakeWorker::GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& w_type, uint64_t& sent,
                                  uint64_t& total_size) {
    session_id = 0;
    path.clear();
    w_type = W_TYPE_NONE;
    sent = 0;
    total_size = 0;
    State state = GetState();
    if (state == PAUSE || state == STOP) return;
    std::lock_guard<std::mutex> guard(state_lock_);
    if (current_.session_id == 0) return;
    session_id = current_.session_id;
    path = current_.path;
    w_type = static_cast<WorkingType>(control_.type.load());
    sent = control_.sent;
    total_size = control_.total;
}

}  // namespace tidewell::testing
