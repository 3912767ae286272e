#include "session/ui_ipc.h"

#include <cerrno>

#include "base/logger.h"
#include "base/settings.h"
#include "session/ipc_sender.h"

namespace {

const char* const kComponent = "channel_ui_debug";

// A UI that has stopped accepting connections must not hold the sender up:
// the notice is dropped after this long without a connection, and after
// kNoticeSendSeconds without progress once connected.
constexpr int kNoticeConnectMs = 500;
constexpr uint32_t kNoticeSendSeconds = 2;

void LogTimeout() {
    if (errno == ETIMEDOUT) TW_WARNING(kComponent, "the UI did not accept a connection within %d ms\n", kNoticeConnectMs);
}

void file_members(PObject& msg, const Event& ev) {
    msg["session_id"] = static_cast<uint64_t>(ev.m_sess_id);
    msg["path"] = ev.m_path;
    msg["is_dir"] = static_cast<uint64_t>(ev.m_mode & 1);
}

}  // namespace

int UI_IPC::SendMessageW(const PObject& msg) {
    IPCSender sender;
    Settings& settings = Settings::getInstance();
    ustring socket_path = settings.getUISocketPath();
    if (socket_path.empty()) {
        int port = settings.getUIPort();
        if (sender.connect(port, kNoticeConnectMs) < 0) {
            LogTimeout();
            TW_ERROR(kComponent, "failed to connect to local port %d\n", port);
            TW_ERROR(kComponent, "message (%s) is not sent\n", msg.toString().c_str());
            return -1;
        }
    } else if (sender.connect(socket_path.str(), kNoticeConnectMs) < 0) {
        LogTimeout();
        TW_ERROR(kComponent, "failed to connect to domain socket %s\n", socket_path.c_str());
        TW_ERROR(kComponent, "message (%s) is not sent\n", msg.toString().c_str());
        return -1;
    }
    sender.set_timeout(kNoticeSendSeconds);
    if (sender.send(msg) < 0) {
        TW_ERROR(kComponent, "failed to send message to IPC\n");
        TW_ERROR(kComponent, "message (%s) is not sent\n", msg.toString().c_str());
        return -1;
    }
    return 0;
}

PObject UI_IPC::FileNotice(const char* notify, const Event& ev) {
    PObject msg;
    msg["notify"] = notify;
    file_members(msg, ev);
    msg["event_type"] = static_cast<int32_t>(ev.m_type);
    return msg;
}

PObject UI_IPC::FileLockedNotice(const Event& ev, int err) {
    PObject msg;
    msg["notify"] = "locked_file";
    file_members(msg, ev);
    PObject& error = msg["error"];
    error["reason"] = "file locked";
    error["code"] = static_cast<int32_t>(err);
    return msg;
}

PObject UI_IPC::ConnectionErrorNotice(uint64_t conn_id, uint64_t sess_id, int error) {
    PObject msg;
    msg["notify"] = "error";
    msg["connection_id"] = conn_id;
    msg["error_type"] = static_cast<int32_t>(error);
    msg["sess_id"] = sess_id;
    msg["conn_id"] = conn_id;
    return msg;
}

PObject UI_IPC::SessionErrorNotice(uint64_t conn_id, uint64_t sess_id, int error) {
    PObject msg;
    msg["notify"] = "error";
    msg["session_id"] = sess_id;
    msg["error_type"] = static_cast<int32_t>(error);
    msg["sess_id"] = sess_id;
    msg["conn_id"] = conn_id;
    return msg;
}

int UI_IPC::ReportFileSyncingEventToUI(const Event& ev) {
    return SendMessageW(FileNotice("syncing_file", ev));
}

int UI_IPC::ReportFileEventToUI(const Event& ev) {
    return SendMessageW(FileNotice("recent_file", ev));
}

int UI_IPC::ReportFileROToUI(const Event& ev) {
    return SendMessageW(FileNotice("readonly_file", ev));
}

int UI_IPC::ReportFileLockedEventToUI(const Event& ev, int err) {
    return SendMessageW(FileLockedNotice(ev, err));
}

int UI_IPC::ReportConnectionErrorToUI(uint64_t conn_id, uint64_t sess_id, int error) {
    return SendMessageW(ConnectionErrorNotice(conn_id, sess_id, error));
}

int UI_IPC::ReportSessionErrorToUI(uint64_t conn_id, uint64_t sess_id, int error) {
    return SendMessageW(SessionErrorNotice(conn_id, sess_id, error));
}
