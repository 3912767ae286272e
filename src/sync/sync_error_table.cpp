#include "sync/sync_error_table.h"

#include "base/logger.h"
#include "net/error_codes.h"
#include "session/ui_ipc.h"

namespace tw_sync {

namespace {

// The codes from ERR_CH_CONNECTION_ABORT on have rows too, since results
// down to ERR_PERMISS_READ_ONLY reach the table: a broken or aborted
// channel and a locked file are transient; a full local disk and a
// read-only view (the server's 12292) are the session's trouble and an
// unverifiable certificate the connection's, so the UI is told of those.
constexpr _error_handler kTable[] = {
    {0, ERR_NONE},         // ERR_OK
    {1, ERR_NONE},         // ERR_INT
    {1, ERR_NONE},         // ERR_IO
    {1, ERR_NONE},         // ERR_SYS
    {-1, ERR_NONE},        // ERR_INVAL
    {-1, ERR_NONE},        // ERR_PROTO
    {1, ERR_CONNECTION},   // ERR_AUTH
    {1, ERR_NONE},         // ERR_SERVER
    {-1, ERR_NONE},        // ERR_CONFLICT
    {1, ERR_NONE},         // ERR_TIMEOUT
    {1, ERR_CONNECTION},   // ERR_VERSION
    {-1, ERR_NONE},        // ERR_NOENT
    {-1, ERR_NONE},        // ERR_USER
    {-1, ERR_NONE},        // ERR_PASSWORD
    {1, ERR_SESSION},      // ERR_ZEMDISABLE
    {-1, ERR_NONE},        // ERR_QUOTA
    {-1, ERR_NONE},        // ERR_DISKFULL
    {-1, ERR_NONE},        // ERR_SYNCFOLDER_MISS
    {1, ERR_SESSION},      // ERR_VIEW
    {1, ERR_SESSION},      // ERR_PERMISS
    {1, ERR_SESSION},      // ERR_VIEW_PATH
    {1, ERR_NONE},         // ERR_CH_CONNECTION_ABORT
    {1, ERR_SESSION},      // ERR_LOCAL_DISKFULL
    {1, ERR_NONE},         // ERR_LOCKED_FILE
    {1, ERR_CONNECTION},   // ERR_SSL_VERIFY_FAIL
    {1, ERR_SESSION},      // ERR_PERMISS_READ_ONLY
};

static_assert(sizeof(kTable) / sizeof(kTable[0]) == static_cast<size_t>(-ERR_MAX), "one row per result code");

}  // namespace

const _error_handler* SyncErrorHandler(int err) {
    if (err > 0 || err <= ERR_MAX) return nullptr;
    return &kTable[-err];
}

int HandleSyncError(int err, uint64_t conn_id, uint64_t sess_id, const char* component, const char* who) {
    const _error_handler* handler = SyncErrorHandler(err);
    if (!handler) {
        TW_CRIT(component, "%s: unknown error code [%d].\n", who, err);
        return -1;
    }
    TW_DEBUG(component, "%s: HandleError: %d.\n", who, err);
    if (handler->err_type == ERR_SESSION)
        UI_IPC::ReportSessionErrorToUI(conn_id, sess_id, err);
    else if (handler->err_type == ERR_CONNECTION)
        UI_IPC::ReportConnectionErrorToUI(conn_id, sess_id, err);
    else
        TW_DEBUG(component, "No type for error: %d\n", err);
    if (handler->action < 0) TW_CRIT(component, "%s: unexpected error code [%d].\n", who, err);
    return handler->action;
}

}  // namespace tw_sync
