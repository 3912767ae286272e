// A worker task for tests of the control actions and the syncers, which
// need the workers' side of the interruption protocol and someone to carry
// the pulled events out, before the real worker exists.
//
// It pulls events from the process-wide event manager and, by the mode of
// its Control, reports each done at once, holds it until released, or hands
// it back for ever (a session whose events never finish). It honours
// SetAbort: an aborted event is handed back, and the barrier signalled at
// the top of its loop, as the interface asks. Paused, it takes no new event.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/ustring.h"
#include "event/event.h"
#include "worker/worker_task.h"

namespace tidewell::testing {

class FakeWorker : public WorkerTask {
public:
    enum Mode { kComplete = 0, kHold = 1, kRedoForever = 2 };

    // Shared by every fake worker of a test.
    struct Control {
        std::atomic<int> mode{kComplete};
        // Events of this session (0: none) are handed back for ever,
        // whatever the mode.
        std::atomic<uint64_t> stuck_session{0};
        std::atomic<int> done{0};     // events reported done
        std::atomic<int> aborted{0};  // events handed back after SetAbort
        std::atomic<int> taken{0};    // events pulled
        // What a held event shows in the working status.
        std::atomic<int> type{W_TYPE_DOWNLOAD};
        std::atomic<uint64_t> sent{0};
        std::atomic<uint64_t> total{0};
    };

    explicit FakeWorker(Control& control);
    ~FakeWorker() override;

    void DoTask() override;
    int Stop() override;
    void SetAbort(const AbortFilter& filter, Barrier* barrier) override;
    void GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& w_type, uint64_t& sent,
                          uint64_t& total_size) override;

private:
    struct Current {
        uint64_t session_id = 0;
        uint64_t connection_id = 0;
        ustring path;
    };
    void NotifyAbortDone();
    // Takes the next event (or the follow-up already in `e`) and publishes
    // it as current: false when there is none or the task is not running.
    bool Take(Event& e, bool follow_up);
    // Carries out `e` as the mode says; true when a follow-up event for the
    // same path is now in `e`.
    bool Process(Event& e);

    Control& control_;
    std::atomic<int> abort_flag_{0};
    // Guards current_ and barrier_; taken before a barrier's lock, the task
    // state mutex and the event manager's lock.
    std::mutex state_lock_;
    Current current_;
    Barrier* barrier_ = nullptr;
};

}  // namespace tidewell::testing
