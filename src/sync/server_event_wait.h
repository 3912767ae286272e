// The syncers' wait between handing a pull's changes to the event manager
// and storing the new sync id: until the workers have carried out every
// server event of the session.
#pragma once

#include <cstdint>

#include "base/task.h"

class EventManager;

enum class ServerEventWait {
    kDone,          // no server event pending, the session still registered
    kGone,          // no server event pending, but the session was removed
    kStopped,       // the task is stopping
    kRemoved,       // the session was removed while events were pending
    kPaused,        // the session was paused while events were pending
    kStuck,         // the pending count did not go down for `stuck_seconds`
};

// Polls once a second (sleeping while the task is paused). A session whose
// events are redone for ever (a full disk, an unwritable file) would hold
// the task, and with it every other session, so the wait gives up once the
// count has not gone down for `stuck_seconds`; a long transfer that makes
// progress is not cut short. Logs its progress, and every outcome but
// kDone and kStuck, under `component`.
ServerEventWait WaitForServerEvents(Task& task, EventManager& events, uint64_t sess_id, unsigned stuck_seconds,
                                    const char* component);
