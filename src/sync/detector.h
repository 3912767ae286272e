// The local change detector: the task that watches every session's local
// folder and turns the kernel's change notifications (inotify) into local
// events for the event manager.
//
// Each session has its own inotify instance, so that a burst in one folder
// cannot overflow another's queue; one thread serves them all with one poll
// per step of at most a second. Every directory of a session's tree has a
// watch (links are never followed, and the working directory's contents are
// left alone); the watches form a tree of their own, so that a directory
// moved within the folder keeps its watches under its new name and one
// moved out of the folder loses them all.
//
// What becomes an event:
//   created (IN_CREATE, or moved in from outside)  EV_CREATE; a new directory
//                                                  is watched whole first and
//                                                  then expanded
//   removed (IN_DELETE, or moved out)              EV_REMOVE, its kind from the
//                                                  database record; dropped
//                                                  without one
//   written and closed, or attributes of a file    EV_MODIFY (a long copy is
//   (IN_CLOSE_WRITE, IN_ATTRIB)                    one event; a writer that
//                                                  never closes is found by
//                                                  rescans)
//   renamed within the folder (a moved-from and    EV_REMOVE of the old path,
//   moved-to pair with one cookie)                 then EV_CREATE of the new
// A moved-from left without its pair for a short grace after its read batch
// is a removal. A queue overflow rebuilds the session's watches and asks for
// a rescan of "/". The working directory ".CorvexaWorkingDirectory" and its
// recycle folder "#CorvRecycle" are ignored and recreated when they go.
//
// The session folder itself removed, moved or unmounted: watching stops at
// once; nothing is pushed (a rescan or removals against a missing folder
// would remove everything on the server), the UI is told ERR_SYNCFOLDER_MISS
// once, and the folder is looked for every step; when it is back, it is
// watched again and a merge rescan of "/" is issued.
//
// Watch limits: a session whose root cannot be watched fails AddWatch; one
// whose tree does not fit under the kernel's watch limit keeps the watches it
// got, logs one ERROR naming the sysctl to raise, and is rescanned
// periodically instead.
//
// Thread safety and lock order
//   `lock` guards `index` and every session_info in it, `retired_` and
//   `polling_`. The task's thread holds it while it reads and translates
//   notifications, and so while it pushes into the event manager and reads
//   the session registry and the file event databases: `lock` comes before
//   the event manager's locks, the registry's lock and a database's mutex.
//   The poll itself runs without `lock`. AddWatch builds a session's watches
//   without `lock` (the instance is not shared yet) and takes it only to
//   enter the session. Only the task's thread closes an instance that the
//   poll may be waiting on: RemoveWatch and AddWatch hand such descriptors to
//   `retired_` while `polling_` is set. UI notices are sent after `lock` is
//   released.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/task.h"
#include "base/ustring.h"
#include "event/event.h"

class EventManager;
struct inotify_event;

class Detector : public Task {
public:
    struct Options {
        // The event manager that receives the events (null: the process-wide
        // one).
        EventManager* manager = nullptr;
        // Reports a session error to the UI (empty: UI_IPC's session error).
        std::function<void(uint64_t conn_id, uint64_t sess_id, int error)> session_error;
        // The loop's step: the longest poll, and how often a missing session
        // folder is looked for.
        int step_ms = 1000;
        // How long a moved-from waits for its moved-to after its read batch.
        int move_grace_ms = 50;
        // How long a batch with removals waits before it is handled, so that
        // the removal of the session folder itself, which a folder deleted
        // whole reports last, is seen before any removal inside it is pushed.
        int removal_hold_ms = 250;
        // Rescans of a session whose tree exceeds the watch limit.
        int limited_rescan_seconds = 300;
        // Watches per session (root included) before a watch counts as
        // refused for lack of room, as the kernel refuses one past
        // fs.inotify.max_user_watches; negative: only the kernel's limit.
        long max_watches = -1;
    };

    Detector();
    explicit Detector(Options options);
    ~Detector() override;

    // Starts watching the folder `path` for the session, replacing (and
    // closing) an earlier watch of the same session. 0, or -1 when the
    // folder cannot be watched at all (not a directory, no inotify instance,
    // no watch for the folder itself); nothing is left behind then.
    int AddWatch(const ustring& path, uint64_t sess_id);
    // Stops watching the session's folder; pending notifications are dropped.
    void RemoveWatch(uint64_t sess_id);
    void DoTask() override;
    // Stops every watch.
    void Clear();

    int Stop() override;
    int Pause() override;
    int Resume() override;

    // The session's watched directories (0 when it is not watched or its
    // folder is missing). For tests and benchmarks.
    size_t WatchCount(uint64_t sess_id);
    // Makes the task handle the session as if its queue had overflowed. For
    // tests on systems where the queue length cannot be lowered.
    void InjectOverflow(uint64_t sess_id);

private:
    using Clock = std::chrono::steady_clock;
    static constexpr int kDetached = -2;

    // One watched directory. The watches of a session form a tree by
    // descriptor; a node's path is its ancestors' names joined with "/".
    struct WatchNode {
        int parent = -1;  // descriptor of the parent, -1 for the root, kDetached while moved
        std::string name;
        std::vector<int> children;
        bool working = false;  // the working directory: watched for its recycle folder only
    };

    // A moved-from waiting for its moved-to.
    struct PendingMove {
        uint32_t cookie = 0;
        ustring path;  // the old event path
        bool is_dir = false;
        int wd = -1;  // the moved directory's (detached) watch, or -1
        bool deadline_set = false;
        Clock::time_point deadline;
    };

    // One notification with its name, copied out of the read buffer.
    struct Notice {
        int wd;
        uint32_t mask;
        uint32_t cookie;
        std::string name;
    };

    struct session_info {
        enum State { WATCHING, MISSING };
        uint64_t sess_id = 0;
        ustring path;  // the session folder, without a trailing "/"
        int fd = -1;   // the inotify instance
        int root_wd = -1;
        std::unordered_map<int, WatchNode> watches;
        std::deque<PendingMove> moves;
        State state = WATCHING;
        bool limited = false;
        Clock::time_point next_check;  // MISSING: when to look for the folder; limited: next rescan
        Clock::time_point next_identity_check;
        // The folder's identity when it was armed: a folder renamed by way of
        // one of its parents sends no notification of its own.
        uint64_t root_dev = 0;
        uint64_t root_ino = 0;
        bool inject_overflow = false;
        // A batch with removals waits a grace before it is handled, so that
        // a folder deleted or moved whole is known as such before any of
        // the removals it reported first is pushed.
        std::vector<Notice> held;
        bool holding = false;
        Clock::time_point hold_until;
    };

    // Watching. Arm builds a fresh instance with every watch; 0 or -1.
    int Arm(session_info& info);
    void Disarm(session_info& info);
    // Watches the directory `name` inside the watched directory `parent_wd`
    // and everything below it.
    void WatchTree(session_info& info, int parent_wd, const std::string& name);
    // Watches every directory below the watched directory `wd`.
    void WatchBelow(session_info& info, int wd);
    int AddOne(session_info& info, const ustring& full, int parent_wd, const std::string& name, bool working);
    void LinkChild(session_info& info, int parent_wd, int wd, const std::string& name);
    void UnlinkChild(session_info& info, int wd);
    // Forgets the watch `wd` and its sub-tree; `remove` also takes the
    // kernel's watches away.
    void DropSubtree(session_info& info, int wd, bool remove);
    int FindChild(const session_info& info, int parent_wd, const std::string& name) const;
    // The event path of a watched directory ("" for the root); false when it
    // lies in a detached (moved) sub-tree.
    bool PathOf(const session_info& info, int wd, std::string& out) const;
    void LimitReached(session_info& info);
    void Retire(int fd);
    void Wake();

    // Reading and translating.
    void ReadSession(session_info& info);
    // False when the rest of the batch is to be dropped.
    bool Handle(session_info& info, const Notice& n);
    // Lost notices (an overflow, a failed queue or watch): fresh watches and
    // a rescan of "/", or the missing state when the folder is gone.
    void Overflow(session_info& info);
    void Rearm(session_info& info, const char* why);
    void Rebuild(session_info& info);
    // `tell_ui`: the folder is gone (not merely unwatchable), which the UI
    // hears about once.
    void GoMissing(session_info& info, const char* why, bool tell_ui);
    void CheckIdentity(session_info& info, Clock::time_point now);
    void CheckMissing(session_info& info, Clock::time_point now);
    void FlushMoves(session_info& info, const ustring& path);
    void FlushMove(session_info& info, PendingMove& m);
    void ExpireMoves(session_info& info, Clock::time_point now);
    void RecreateWorkingDirectory(session_info& info);
    // The event for one item: its kind from the disk, or from the database
    // when it is gone. False when it is to be dropped.
    bool Translate(Event& e, const session_info& info, const ustring& item_path);
    void PushEvent(const Event& e);
    int NextTimeoutMs(Clock::time_point now);

    EventManager& manager();

    Options options_;
    std::mutex lock;
    std::map<uint64_t, std::unique_ptr<session_info>> index;
    std::vector<int> retired_;
    bool polling_ = false;
    int wake_fd_ = -1;
    // Session errors to send once `lock` is released.
    std::vector<uint64_t> missing_notices_;
    std::vector<char> buffer_;  // the task thread's read buffer
};
