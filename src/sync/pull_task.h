// What the two event pullers (the syncer and the progress syncer) share as
// tasks: the abort flag that their channels watch, the form of their server
// requests, and the wait after a pass.
//
// Thread safety: Pause, Stop and Resume run on the control thread; they write
// only the abort flag, always through std::atomic_ref (the task's channel
// reads it the same way), before changing the task state. Everything else
// is the task's own thread's.
#pragma once

#include "base/task.h"
#include "protocol/server_session.h"

class PullTask : public Task {
public:
    // Pause and Stop raise the abort flag, so that a request in flight ends
    // within about a second; Resume lowers it.
    int Pause() override;
    int Resume() override;
    int Stop() override;

protected:
    // `make_form` builds the task's request form around its abort flag;
    // the waits are in seconds.
    PullTask(SessionForm (*make_form)(int* abort_flag), const SessionLimits& limits, unsigned short_wait,
             unsigned long_wait, const char* component);

    // The wait after a pass, by HandleError's action: none for 0, the long
    // wait for 2, the short one for any other (a negative action, which
    // should not happen, is logged as critical first).
    unsigned WaitFor(int action);

    int abort_flag = 0;
    SessionForm form;

private:
    unsigned short_wait_;
    unsigned long_wait_;
    const char* component_;
};
