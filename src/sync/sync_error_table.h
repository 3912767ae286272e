// How the two syncers react to the result of one pass: how long to wait
// before the next, and whether the UI is told (as a session or a connection
// error). One row per result code from ERR_OK (0) to ERR_PERMISS_READ_ONLY
// (-25), indexed by the code's magnitude.
#pragma once

#include <cstdint>

#include "session/error_type.h"

namespace tw_sync {

struct _error_handler {
    // 0: go on at once; 1: a short wait (3 s); 2: a long wait (120 s); below
    // 0: a result that should not happen, logged as critical, then a short
    // wait.
    int action;
    ErrorType err_type;
};

// The row of `err`, or nullptr for a code outside 0 to -25.
const _error_handler* SyncErrorHandler(int err);

// A syncer's HandleError: tells the UI as the row says (with the ids of the
// session the pass was about) and returns the row's action; -1 for a code
// outside the table. `who` leads the log texts ("Syncer", "Progress
// syncer"), written under `component`.
int HandleSyncError(int err, uint64_t conn_id, uint64_t sess_id, const char* component, const char* who);

}  // namespace tw_sync
