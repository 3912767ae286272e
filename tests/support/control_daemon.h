// A daemon in the test's own process, driven through its real control
// socket: the application with a task table the test chooses (real syncers
// with short rests, fake workers), the control loop on a thread of its own
// serving a local-domain socket, and the UI's notice socket collected.
//
// Everything the daemon writes goes into one temporary folder: the log (all
// components at debug level), the databases, the sockets. The settings and
// the log are process-wide, so one ControlDaemon exists at a time; its
// destructor stops the daemon ("stop", which unlinks and so empties the
// registry, the connection table, the event manager and the progress
// cache) before the next test.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/task_factory.h"
#include "daemon/tidewell_app.h"
#include "support/fake_worker.h"
#include "support/temp_dir.h"
#include "value/pobject.h"

// Test failures show values in their text form.
inline void PrintTo(const PObject& value, std::ostream* os) {
    *os << value.toString().c_str();
}

namespace tidewell::testing {

// The daemon's notices, received on a local-domain socket.
class NoticeCollector {
public:
    explicit NoticeCollector(const std::string& path);
    ~NoticeCollector();
    NoticeCollector(const NoticeCollector&) = delete;
    NoticeCollector& operator=(const NoticeCollector&) = delete;

    std::vector<PObject> notices();
    // Waits up to `timeout_ms` for a notice that `match` accepts.
    bool WaitFor(const std::function<bool(const PObject&)>& match, int timeout_ms = 20000);
    size_t Count(const std::function<bool(const PObject&)>& match);

private:
    void Loop();

    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::string path_;
    std::mutex mu_;  // guards notices_
    std::vector<PObject> notices_;
    std::thread thread_;
};

// A session's two folders on disk: the sync folder and the configuration
// folder with the default filter files (a black list that excludes
// nothing, a white list of "*"), which a test may rewrite.
struct SessionDirs {
    explicit SessionDirs(TempDir& root, const std::string& name);
    void WriteBlackList(const std::string& text) const;
    void WriteWhiteList(const std::string& text) const;

    std::string folder;
    std::string config;
};

class ControlDaemon {
public:
    explicit ControlDaemon(TaskFactory factory, unsigned worker_count = 3);
    ~ControlDaemon();
    ControlDaemon(const ControlDaemon&) = delete;
    ControlDaemon& operator=(const ControlDaemon&) = delete;

    // One request on a fresh connection to the control socket; the reply
    // (null when the daemon closed without one, which a test then reports).
    PObject Request(const PObject& msg);
    // {"action": action} and the reply.
    PObject Action(const char* action);

    TidewellApp& app() { return *app_; }
    std::string Log() const;
    // Waits up to `timeout_ms` until the log holds `text`.
    bool WaitForLog(const std::string& text, int timeout_ms = 20000) const;
    // Occurrences of `text` in the log.
    size_t CountInLog(const std::string& text) const;

    TempDir dir;
    std::string control_socket;
    std::unique_ptr<NoticeCollector> notices;

private:
    std::unique_ptr<TidewellApp> app_;
    std::thread control_;
    bool stopped_ = false;
};

// The daemon's tasks with rests short enough for tests: the real detector,
// the real syncers (waits of a second, `stuck_seconds` for workers that make
// no progress) and, with `workers`, fake workers sharing that control
// (none: empty worker slots).
TaskFactory TestTaskFactory(FakeWorker::Control* workers, unsigned stuck_seconds = 2);

// A request map from {key, value} pairs.
PObject Msg(std::initializer_list<std::pair<const char*, PObject>> members);

// {"ack": "ok"}, and with an "error" member.
PObject AckOnly();
PObject ErrorReply(const char* text);
// "link_connection" (or `action`) of connection `id` to 127.0.0.1:`port`,
// plain, with a session token.
PObject ConnectionRequest(uint64_t id, int port, const char* action = "link_connection");
// A minimal "add_session": the five required members only.
PObject SessionRequest(uint64_t id, const SessionDirs& dirs, uint64_t conn_id = 1, uint64_t view_id = 1);

// Polls `condition` every 20 ms for up to `timeout_ms`.
bool Eventually(const std::function<bool()>& condition, int timeout_ms = 20000);

}  // namespace tidewell::testing
