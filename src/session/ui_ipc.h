// Notifications to the UI: each one is a map with a "notify" member, sent on
// a fresh connection to the UI's listener, with no reply. A UI that does not
// listen costs the notification and two log lines; nothing is retried. A UI
// that listens but does not accept costs at most half a second per notice
// (the connect is bounded), so callers may send from any thread; none should
// send while holding a lock that others wait for.
#pragma once

#include <cstdint>

#include "base/ustring.h"
#include "event/event.h"
#include "value/pobject.h"

class UI_IPC {
public:
    // Each returns 0 when the message reached the UI's listener, -1 otherwise.
    static int SendMessageW(const PObject& msg);
    static int ReportFileSyncingEventToUI(const Event& ev);
    static int ReportFileEventToUI(const Event& ev);
    static int ReportFileROToUI(const Event& ev);
    static int ReportFileLockedEventToUI(const Event& ev, int err);
    static int ReportConnectionErrorToUI(uint64_t conn_id, uint64_t sess_id, int error);
    static int ReportSessionErrorToUI(uint64_t conn_id, uint64_t sess_id, int error);

    // The maps the reports send.
    static PObject FileNotice(const char* notify, const Event& ev);
    static PObject FileLockedNotice(const Event& ev, int err);
    static PObject ConnectionErrorNotice(uint64_t conn_id, uint64_t sess_id, int error);
    static PObject SessionErrorNotice(uint64_t conn_id, uint64_t sess_id, int error);
};
