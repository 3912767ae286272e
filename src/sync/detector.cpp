#include "sync/detector.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "base/logger.h"
#include "fs/file_op.h"
#include "net/error_codes.h"
#include "session/registry.h"
#include "session/ui_ipc.h"
#include "store/db_file_info.h"
#include "store/file_event_db.h"
#include "sync/event_manager.h"

namespace {

const char* const kLog = "detector_debug";

const char* const kWorkingName = ".CorvexaWorkingDirectory";
const char* const kRecycleName = "#CorvRecycle";

// Every directory of the tree. IN_CLOSE_WRITE rather than IN_MODIFY: a long
// copy is one event, not one per write.
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                           IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// The working directory: only the removal of its recycle folder matters.
constexpr uint32_t kWorkingMask = IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR | IN_DONT_FOLLOW;

constexpr size_t kReadBufferBytes = 64 * 1024;
// Reads of one session per turn, so that a busy folder cannot starve others.
constexpr int kMaxReadsPerTurn = 16;

bool LogEnabled(Logger::Level level) {
    return Logger::Enabled(level, kLog);
}

unsigned long long U64(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

// The working directory's name compared as the folder's owner may have
// typed it: letter case does not make it another folder.
bool IsWorkingName(const std::string& name) {
    return strcasecmp(name.c_str(), kWorkingName) == 0;
}

// A directory, not followed through a link, and where it is.
bool DirectoryAt(const ustring& path, struct stat* out = nullptr) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (out) *out = st;
    return true;
}

// Creates the working directory and its recycle folder when missing, never
// through a link that someone put in their place. Failures are logged only:
// the worker reports what it cannot do without them.
void CreateWorkingDirectory(const ustring& folder) {
    TW_DEBUG(kLog, "creating working directory under %s\n", folder.c_str());
    const int root = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root < 0) return;
    if (mkdirat(root, kWorkingName, 0700) != 0 && errno != EEXIST)
        TW_WARNING(kLog, "cannot create %s/%s: error %d\n", folder.c_str(), kWorkingName, errno);
    const int work = openat(root, kWorkingName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (work < 0) {
        TW_WARNING(kLog, "%s/%s is not a directory (error %d)\n", folder.c_str(), kWorkingName, errno);
    } else {
        if (mkdirat(work, kRecycleName, 0700) != 0 && errno != EEXIST)
            TW_WARNING(kLog, "cannot create %s/%s/%s: error %d\n", folder.c_str(), kWorkingName, kRecycleName, errno);
        close(work);
    }
    close(root);
}

std::string MaskText(uint32_t mask) {
    static const struct {
        uint32_t bit;
        const char* name;
    } kNames[] = {{IN_CREATE, "CREATE"},         {IN_DELETE, "DELETE"},       {IN_CLOSE_WRITE, "CLOSE_WRITE"},
                  {IN_ATTRIB, "ATTRIB"},         {IN_MOVED_FROM, "MOVED_FROM"}, {IN_MOVED_TO, "MOVED_TO"},
                  {IN_DELETE_SELF, "DELETE_SELF"}, {IN_MOVE_SELF, "MOVE_SELF"}, {IN_UNMOUNT, "UNMOUNT"},
                  {IN_Q_OVERFLOW, "Q_OVERFLOW"}, {IN_IGNORED, "IGNORED"},     {IN_ISDIR, "ISDIR"}};
    std::string out;
    for (const auto& n : kNames) {
        if (!(mask & n.bit)) continue;
        if (!out.empty()) out += '|';
        out += n.name;
    }
    return out.empty() ? "UNKNOWN" : out;
}

}  // namespace

Detector::Detector() : Detector(Options()) {}

Detector::Detector(Options options) : options_(std::move(options)), buffer_(kReadBufferBytes) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) TW_ERROR(kLog, "eventfd: Error Code: %d\n", errno);
}

Detector::~Detector() {
    Stop();
    Join();
    Clear();
    for (int fd : retired_) close(fd);
    retired_.clear();
    if (wake_fd_ >= 0) close(wake_fd_);
}

EventManager& Detector::manager() {
    return options_.manager ? *options_.manager : EventManager::getInstance();
}

// ---------------------------------------------------------------------------
// Watches

int Detector::AddWatch(const ustring& folder, uint64_t sess_id) {
    TW_DEBUG(kLog, "Detector add watch: %s\n", folder.c_str());
    auto info = std::make_unique<session_info>();
    info->sess_id = sess_id;
    info->path = folder;
    while (info->path.size() > 1 && info->path[info->path.size() - 1] == '/')
        info->path = info->path.substr(0, info->path.size() - 1);
    // Built before the session is entered: a large tree takes a while to
    // walk, and nothing else sees this instance yet.
    if (Arm(*info) != 0) return -1;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto& slot = index[sess_id];
        if (slot) {
            TW_DEBUG(kLog, "session #%llu was watched already: its old watch is closed\n", U64(sess_id));
            Retire(slot->fd);
        }
        slot = std::move(info);
    }
    Wake();
    return 0;
}

void Detector::RemoveWatch(uint64_t sess_id) {
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = index.find(sess_id);
        if (it == index.end()) return;
        Retire(it->second->fd);
        index.erase(it);
    }
    Wake();
}

void Detector::Clear() {
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto& [id, info] : index) {
            TW_DEBUG(kLog, "session #%llu (%s) down\n", U64(id), info->path.c_str());
            Retire(info->fd);
        }
        index.clear();
    }
    Wake();
}

size_t Detector::WatchCount(uint64_t sess_id) {
    std::lock_guard<std::mutex> guard(lock);
    auto it = index.find(sess_id);
    if (it == index.end() || it->second->state != session_info::WATCHING) return 0;
    return it->second->watches.size();
}

void Detector::InjectOverflow(uint64_t sess_id) {
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = index.find(sess_id);
        if (it == index.end()) return;
        it->second->inject_overflow = true;
    }
    Wake();
}

// REQUIRES: `lock` held, or `fd` not yet shared.
void Detector::Retire(int fd) {
    if (fd < 0) return;
    // The poll may be waiting on it: only the task's thread closes it then,
    // once the poll has returned.
    if (polling_) {
        retired_.push_back(fd);
    } else {
        close(fd);
    }
}

void Detector::Wake() {
    if (wake_fd_ < 0) return;
    const uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0 && errno != EAGAIN)
        TW_WARNING(kLog, "eventfd write: Error Code: %d\n", errno);
}

int Detector::Arm(session_info& info) {
    struct stat st;
    if (!DirectoryAt(info.path, &st)) {
        TW_ERROR(kLog, "CreateFile(%s): Error code: %d\n", info.path.c_str(), errno != 0 ? errno : ENOTDIR);
        return -1;
    }
    info.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (info.fd < 0) {
        const int err = errno;
        if (err == EMFILE) {
            TW_ERROR(kLog, "inotify_init1: Error Code: %d (raise fs.inotify.max_user_instances to watch more folders)\n",
                     err);
        } else {
            TW_ERROR(kLog, "inotify_init1: Error Code: %d\n", err);
        }
        return -1;
    }
    info.root_dev = static_cast<uint64_t>(st.st_dev);
    info.root_ino = static_cast<uint64_t>(st.st_ino);
    info.watches.clear();
    info.moves.clear();
    info.limited = false;
    info.state = session_info::WATCHING;
    info.next_identity_check = Clock::now() + std::chrono::milliseconds(options_.step_ms);
    CreateWorkingDirectory(info.path);
    info.root_wd = AddOne(info, info.path, -1, "", false);
    if (info.root_wd < 0) {
        TW_ERROR(kLog, "inotify_add_watch(%s): Error code: %d\n", info.path.c_str(), errno);
        close(info.fd);
        info.fd = -1;
        info.watches.clear();
        return -1;
    }
    WatchBelow(info, info.root_wd);
    return 0;
}

void Detector::Disarm(session_info& info) {
    Retire(info.fd);
    info.fd = -1;
    info.root_wd = -1;
    info.watches.clear();
    info.moves.clear();
    info.held.clear();
    info.holding = false;
}

int Detector::AddOne(session_info& info, const ustring& full, int parent_wd, const std::string& name, bool working) {
    if (options_.max_watches >= 0 && info.watches.size() >= static_cast<size_t>(options_.max_watches)) {
        errno = ENOSPC;
    } else {
        const int wd = inotify_add_watch(info.fd, full.c_str(), working ? kWorkingMask : kMask);
        if (wd >= 0) {
            auto it = info.watches.find(wd);
            if (it != info.watches.end()) {
                // The same directory reached again (by the walk and by its
                // creation notice): still one watch. Reached under another
                // name (a bind mount inside the tree): not descended twice.
                if (it->second.parent == parent_wd && it->second.name == name) return wd;
                return -1;
            }
            WatchNode& node = info.watches[wd];
            node.parent = parent_wd;
            node.name = name;
            node.working = working;
            if (parent_wd >= 0) info.watches[parent_wd].children.push_back(wd);
            return wd;
        }
    }
    const int err = errno;
    if (err == ENOSPC) {
        LimitReached(info);
    } else if (err != ENOENT && err != ENOTDIR && err != ELOOP) {
        TW_WARNING(kLog, "inotify_add_watch(%s): Error Code: %d\n", full.c_str(), err);
    }
    errno = err;
    return -1;
}

void Detector::LimitReached(session_info& info) {
    if (info.limited) return;
    info.limited = true;
    info.next_check = Clock::now() + std::chrono::seconds(options_.limited_rescan_seconds);
    TW_ERROR(kLog,
             "watch limit reached for session #%llu at %s after %zu directories: the rest is found by a rescan "
             "every %d s; raise the sysctl fs.inotify.max_user_watches to watch every directory\n",
             U64(info.sess_id), info.path.c_str(), info.watches.size(), options_.limited_rescan_seconds);
}

void Detector::WatchTree(session_info& info, int parent_wd, const std::string& name) {
    std::string dir;
    if (!PathOf(info, parent_wd, dir)) return;
    const int wd = AddOne(info, info.path + ustring(dir + "/" + name), parent_wd, name, false);
    if (wd >= 0) WatchBelow(info, wd);
}

void Detector::WatchBelow(session_info& info, int top) {
    std::vector<int> todo{top};
    while (!todo.empty()) {
        const int wd = todo.back();
        todo.pop_back();
        std::string dir;
        if (!PathOf(info, wd, dir)) continue;
        const ustring full = info.path + ustring(dir);
        DIR* d = opendir(full.c_str());
        if (!d) continue;
        while (dirent* ent = readdir(d)) {
            const std::string name = ent->d_name;
            if (name == "." || name == "..") continue;
            bool is_dir = ent->d_type == DT_DIR;
            if (ent->d_type == DT_UNKNOWN) is_dir = DirectoryAt(full + ustring("/" + name));
            if (!is_dir) continue;
            const bool working = wd == info.root_wd && IsWorkingName(name);
            const int child = AddOne(info, full + ustring("/" + name), wd, name, working);
            if (child >= 0 && !working) todo.push_back(child);
            if (child < 0 && info.limited) break;
        }
        closedir(d);
        if (info.limited) break;
    }
}

void Detector::LinkChild(session_info& info, int parent_wd, int wd, const std::string& name) {
    auto it = info.watches.find(wd);
    auto parent = info.watches.find(parent_wd);
    if (it == info.watches.end() || parent == info.watches.end()) return;
    UnlinkChild(info, wd);
    it->second.parent = parent_wd;
    it->second.name = name;
    parent->second.children.push_back(wd);
}

void Detector::UnlinkChild(session_info& info, int wd) {
    auto it = info.watches.find(wd);
    if (it == info.watches.end()) return;
    auto parent = info.watches.find(it->second.parent);
    if (parent != info.watches.end()) std::erase(parent->second.children, wd);
    it->second.parent = kDetached;
}

void Detector::DropSubtree(session_info& info, int top, bool remove) {
    UnlinkChild(info, top);
    std::vector<int> todo{top};
    while (!todo.empty()) {
        const int wd = todo.back();
        todo.pop_back();
        auto it = info.watches.find(wd);
        if (it == info.watches.end()) continue;
        todo.insert(todo.end(), it->second.children.begin(), it->second.children.end());
        if (remove) inotify_rm_watch(info.fd, wd);
        info.watches.erase(it);
    }
}

int Detector::FindChild(const session_info& info, int parent_wd, const std::string& name) const {
    auto parent = info.watches.find(parent_wd);
    if (parent == info.watches.end()) return -1;
    for (int wd : parent->second.children) {
        auto it = info.watches.find(wd);
        if (it != info.watches.end() && it->second.name == name) return wd;
    }
    return -1;
}

bool Detector::PathOf(const session_info& info, int wd, std::string& out) const {
    std::vector<const std::string*> names;
    for (int cur = wd, depth = 0; cur != info.root_wd; ++depth) {
        auto it = info.watches.find(cur);
        if (it == info.watches.end() || it->second.parent == kDetached || depth > 4096) return false;
        names.push_back(&it->second.name);
        cur = it->second.parent;
    }
    out.clear();
    for (auto n = names.rbegin(); n != names.rend(); ++n) {
        out += '/';
        out += **n;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The task loop

int Detector::Stop() {
    Task::Stop();
    Wake();
    return 0;
}

int Detector::Pause() {
    Task::Pause();
    Wake();
    return 0;
}

int Detector::Resume() {
    Task::Resume();
    Wake();
    return 0;
}

int Detector::NextTimeoutMs(Clock::time_point now) {
    Clock::time_point until = now + std::chrono::milliseconds(options_.step_ms);
    for (auto& [id, info] : index) {
        for (const PendingMove& m : info->moves)
            if (m.deadline_set) until = std::min(until, m.deadline);
        if (info->state == session_info::WATCHING && info->limited) until = std::min(until, info->next_check);
        if (info->holding) until = std::min(until, info->hold_until);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    return ms < 0 ? 0 : static_cast<int>(ms) + 1;
}

void Detector::DoTask() {
    TW_DEBUG(kLog, "detector start\n");
    for (;;) {
        const State state = GetState();
        if (state == STOP) {
            TW_DEBUG(kLog, "detector stop\n");
            return;
        }
        std::vector<pollfd> fds;
        fds.push_back({wake_fd_, POLLIN, 0});
        int timeout = options_.step_ms;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (state == RUN) {
                if (index.empty()) TW_DEBUG(kLog, "No watch folder.\n");
                for (auto& [id, info] : index)
                    if (info->state == session_info::WATCHING) fds.push_back({info->fd, POLLIN, 0});
                timeout = NextTimeoutMs(Clock::now());
            }
            polling_ = true;
        }
        // Paused, only a wake-up or the step ends the wait; the kernel keeps
        // queueing meanwhile (an overflow becomes a rescan).
        const int ready = poll(fds.data(), fds.size(), timeout);
        const int poll_errno = errno;

        std::vector<uint64_t> missing;
        {
            std::lock_guard<std::mutex> guard(lock);
            polling_ = false;
            for (int fd : retired_) close(fd);
            retired_.clear();
            uint64_t drained;
            while (read(wake_fd_, &drained, sizeof drained) > 0) {
            }
            if (ready < 0 && poll_errno != EINTR) TW_ERROR(kLog, "poll: Error Code: %d\n", poll_errno);
            if (ready == 0) TW_DEBUG(kLog, "No incoming events\n");
            if (GetState() == RUN) {
                std::unordered_set<int> readable, broken;
                for (size_t i = 1; i < fds.size(); ++i) {
                    if (fds[i].revents & POLLIN) readable.insert(fds[i].fd);
                    if (fds[i].revents & (POLLERR | POLLNVAL)) broken.insert(fds[i].fd);
                }
                for (auto& [id, info] : index) {
                    session_info& s = *info;
                    if (s.state == session_info::MISSING) {
                        CheckMissing(s, Clock::now());
                        continue;
                    }
                    if (broken.count(s.fd) && !readable.count(s.fd)) {
                        Rearm(s, "its notification queue failed");
                        continue;
                    }
                    if (readable.count(s.fd) || s.inject_overflow || (s.holding && Clock::now() >= s.hold_until))
                        ReadSession(s);
                    if (s.state != session_info::WATCHING) continue;
                    const Clock::time_point now = Clock::now();
                    ExpireMoves(s, now);
                    CheckIdentity(s, now);
                    if (s.state == session_info::WATCHING && s.limited && now >= s.next_check) {
                        s.next_check = now + std::chrono::seconds(options_.limited_rescan_seconds);
                        manager().IssueRescan(s.sess_id, "/", false);
                    }
                }
            }
            missing.swap(missing_notices_);
        }
        for (uint64_t sess_id : missing) {
            Registry::Entry entry;
            const uint64_t conn_id = Registry::getInstance().Find(sess_id, entry) ? entry.conn_id : 0;
            if (options_.session_error) {
                options_.session_error(conn_id, sess_id, ERR_SYNCFOLDER_MISS);
            } else {
                UI_IPC::ReportSessionErrorToUI(conn_id, sess_id, ERR_SYNCFOLDER_MISS);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Reading

void Detector::ReadSession(session_info& info) {
    std::vector<Notice> batch;
    batch.swap(info.held);
    bool failed = false;
    for (int reads = 0; reads < kMaxReadsPerTurn; ++reads) {
        const ssize_t n = read(info.fd, buffer_.data(), buffer_.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) {
                TW_ERROR(kLog, "read: Error Code: %d\n", errno);
                failed = true;
            }
            break;
        }
        if (n == 0) break;
        for (size_t at = 0; at + sizeof(inotify_event) <= static_cast<size_t>(n);) {
            inotify_event ev;
            std::memcpy(&ev, buffer_.data() + at, sizeof ev);
            const char* name = buffer_.data() + at + sizeof ev;
            batch.push_back({ev.wd, ev.mask, ev.cookie, ev.len ? std::string(name, strnlen(name, ev.len)) : ""});
            at += sizeof ev + ev.len;
        }
    }
    if (info.inject_overflow) {
        info.inject_overflow = false;
        batch.push_back({-1, IN_Q_OVERFLOW, 0, ""});
    }

    // The folder itself gone: nothing of this batch is pushed. Its removals
    // (a folder deleted whole reports its contents first) and any rescan
    // would remove the session's items on the server.
    bool root_gone = false;
    bool removals = false;
    for (const Notice& n : batch) {
        if (n.wd == info.root_wd && (n.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) root_gone = true;
        if (n.mask & (IN_DELETE | IN_MOVED_FROM)) removals = true;
    }
    if (!root_gone && removals && !DirectoryAt(info.path)) root_gone = true;
    if (root_gone) {
        info.holding = false;
        GoMissing(info, "was removed, moved away or unmounted", true);
        return;
    }
    const Clock::time_point now = Clock::now();
    if (removals && !failed && (!info.holding || now < info.hold_until)) {
        if (!info.holding) {
            info.holding = true;
            info.hold_until = now + std::chrono::milliseconds(options_.removal_hold_ms);
        }
        info.held.swap(batch);
        return;
    }
    info.holding = false;
    for (const Notice& n : batch) {
        if (!Handle(info, n)) break;
    }
    if (failed && info.state == session_info::WATCHING) {
        Rearm(info, "its notification queue could not be read");
        return;
    }
    if (info.state != session_info::WATCHING) return;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options_.move_grace_ms);
    for (PendingMove& m : info.moves) {
        if (!m.deadline_set) {
            m.deadline_set = true;
            m.deadline = deadline;
        }
    }
}

bool Detector::Handle(session_info& info, const Notice& n) {
    if (LogEnabled(Logger::L_DEBUG)) {
        TW_DEBUG(kLog, "Notification: wd %d, cookie %u, %s, %s\n", n.wd, n.cookie, MaskText(n.mask).c_str(),
                 n.name.c_str());
    }
    if (n.mask & IN_Q_OVERFLOW) {
        Overflow(info);
        return false;
    }
    if (n.mask & IN_IGNORED) {
        if (n.wd == info.root_wd) {
            Rearm(info, "lost the watch of its folder");
            return false;
        }
        if (info.watches.count(n.wd)) DropSubtree(info, n.wd, false);
        return true;
    }
    auto node = info.watches.find(n.wd);
    if (node == info.watches.end()) return true;
    if (node->second.working) {
        if (n.name == kRecycleName && (n.mask & (IN_DELETE | IN_MOVED_FROM))) {
            TW_DEBUG(kLog, "recreating working directory (%d)\n", 2);
            RecreateWorkingDirectory(info);
        }
        return true;
    }
    // A notice about the directory itself (its attributes, or its own
    // removal seen from inside) carries nothing to synchronise.
    if (n.name.empty()) return true;
    std::string dir;
    // Inside a directory that was moved and not yet placed: its new name
    // comes with the moved-to, and its expansion covers what happened.
    if (!PathOf(info, n.wd, dir)) return true;
    const ustring path(dir + "/" + n.name);
    const bool is_dir = (n.mask & IN_ISDIR) != 0;

    if (n.wd == info.root_wd && IsWorkingName(n.name)) {
        if (is_dir && (n.mask & (IN_DELETE | IN_MOVED_FROM))) {
            TW_DEBUG(kLog, "recreating working directory (%d)\n", 1);
            RecreateWorkingDirectory(info);
        }
        TW_DEBUG(kLog, "ignoring changes to %s\n", path.c_str());
        return true;
    }

    if (n.mask & IN_MOVED_TO) {
        auto m = std::find_if(info.moves.begin(), info.moves.end(),
                              [&n](const PendingMove& pm) { return pm.cookie == n.cookie; });
        if (m != info.moves.end()) {
            const PendingMove from = *m;
            info.moves.erase(m);
            FlushMoves(info, path);
            if (from.is_dir && from.wd >= 0) LinkChild(info, n.wd, from.wd, n.name);
            if (is_dir) WatchTree(info, n.wd, n.name);
            Event e;
            e.m_type = Event::EV_RENAME;
            e.m_path = from.path;
            e.m_opt = path;
            if (Translate(e, info, path)) PushEvent(e);
            return true;
        }
        // Moved in from outside the folder.
        FlushMoves(info, path);
        if (is_dir) WatchTree(info, n.wd, n.name);
        Event e;
        e.m_type = Event::EV_CREATE;
        e.m_path = path;
        if (Translate(e, info, path)) PushEvent(e);
        return true;
    }

    // A moved-from still waiting for its pair is settled before anything
    // newer about its path, so that the order of the events stays true.
    FlushMoves(info, path);

    if (n.mask & IN_MOVED_FROM) {
        TW_DEBUG(kLog, "hide rename event (%s)\n", path.c_str());
        PendingMove m;
        m.cookie = n.cookie;
        m.path = path;
        m.is_dir = is_dir;
        if (is_dir) {
            m.wd = FindChild(info, n.wd, n.name);
            if (m.wd >= 0) UnlinkChild(info, m.wd);
        }
        info.moves.push_back(std::move(m));
        return true;
    }

    Event e;
    if (n.mask & IN_CREATE) {
        // The whole new tree is watched before its creation is pushed, so that
        // nothing made inside it from now on goes unseen; its expansion finds
        // what was made before.
        if (is_dir) WatchTree(info, n.wd, n.name);
        e.m_type = Event::EV_CREATE;
    } else if (n.mask & IN_DELETE) {
        if (is_dir) {
            const int child = FindChild(info, n.wd, n.name);
            if (child >= 0) DropSubtree(info, child, false);
        }
        e.m_type = Event::EV_REMOVE;
    } else if (n.mask & IN_CLOSE_WRITE) {
        e.m_type = Event::EV_MODIFY;
    } else if (n.mask & IN_ATTRIB) {
        if (is_dir) return true;
        e.m_type = Event::EV_MODIFY;
    } else {
        return true;
    }
    e.m_path = path;
    if (Translate(e, info, path)) PushEvent(e);
    return true;
}

void Detector::FlushMoves(session_info& info, const ustring& path) {
    for (size_t i = 0; i < info.moves.size();) {
        const ustring& old = info.moves[i].path;
        const bool touches = path == old || (path.size() > old.size() && path.view().substr(0, old.size()) == old.view() &&
                                             path[old.size()] == '/');
        if (!touches) {
            ++i;
            continue;
        }
        PendingMove m = std::move(info.moves[i]);
        info.moves.erase(info.moves.begin() + static_cast<std::ptrdiff_t>(i));
        FlushMove(info, m);
    }
}

void Detector::ExpireMoves(session_info& info, Clock::time_point now) {
    while (!info.moves.empty() && info.moves.front().deadline_set && info.moves.front().deadline <= now) {
        PendingMove m = std::move(info.moves.front());
        info.moves.pop_front();
        FlushMove(info, m);
    }
}

void Detector::FlushMove(session_info& info, PendingMove& m) {
    // Moved out of the folder: its watches go, so that what happens to it
    // there never comes back under a session path.
    if (m.is_dir && m.wd >= 0) DropSubtree(info, m.wd, true);
    Event e;
    e.m_type = Event::EV_REMOVE;
    e.m_path = m.path;
    if (Translate(e, info, m.path)) PushEvent(e);
}

void Detector::RecreateWorkingDirectory(session_info& info) {
    CreateWorkingDirectory(info.path);
    const int old = FindChild(info, info.root_wd, kWorkingName);
    if (old >= 0) DropSubtree(info, old, true);
    AddOne(info, info.path + "/" + kWorkingName, info.root_wd, kWorkingName, true);
}

void Detector::Overflow(session_info& info) {
    TW_INFO(kLog, "Event queue overflow, rescan watch\n");
    Rebuild(info);
}

void Detector::Rearm(session_info& info, const char* why) {
    TW_WARNING(kLog, "session #%llu at %s %s: watching it again with a rescan\n", U64(info.sess_id), info.path.c_str(),
               why);
    Rebuild(info);
}

void Detector::Rebuild(session_info& info) {
    Disarm(info);
    if (!DirectoryAt(info.path)) {
        GoMissing(info, "was removed, moved away or unmounted", true);
        return;
    }
    if (Arm(info) != 0) {
        GoMissing(info, "cannot be watched again", false);
        return;
    }
    manager().IssueRescan(info.sess_id, "/", false);
}

void Detector::GoMissing(session_info& info, const char* why, bool tell_ui) {
    Disarm(info);
    info.state = session_info::MISSING;
    info.next_check = Clock::now() + std::chrono::milliseconds(options_.step_ms);
    TW_ERROR(kLog, "session #%llu folder %s %s: watching stopped until it is back\n", U64(info.sess_id),
             info.path.c_str(), why);
    if (tell_ui) missing_notices_.push_back(info.sess_id);
}

void Detector::CheckMissing(session_info& info, Clock::time_point now) {
    if (now < info.next_check) return;
    info.next_check = now + std::chrono::milliseconds(options_.step_ms);
    // Looked at quietly first: the full check logs every refusal.
    if (!DirectoryAt(info.path) || !IsValidSyncFolder(info.path)) return;
    if (Arm(info) != 0) return;
    TW_NOTE(kLog, "session #%llu folder %s is back: watching it again with a merge rescan\n", U64(info.sess_id),
            info.path.c_str());
    manager().IssueRescan(info.sess_id, "/", true);
}

void Detector::CheckIdentity(session_info& info, Clock::time_point now) {
    if (now < info.next_identity_check) return;
    info.next_identity_check = now + std::chrono::milliseconds(options_.step_ms);
    struct stat st;
    if (DirectoryAt(info.path, &st) && static_cast<uint64_t>(st.st_dev) == info.root_dev &&
        static_cast<uint64_t>(st.st_ino) == info.root_ino)
        return;
    GoMissing(info, "no longer names the watched folder", true);
}

// ---------------------------------------------------------------------------
// Events

bool Detector::Translate(Event& e, const session_info& info, const ustring& item_path) {
    FILE_INFO local;
    if (FSStat(info.path + item_path, local, true) == 0 && local.isExist) {
        if (local.type == FT_DIR) {
            e.setDir();
            // A directory's own modification carries nothing to synchronise.
            if (e.m_type == Event::EV_MODIFY) return false;
        }
        e.m_sess_id = info.sess_id;
        return true;
    }
    Registry::Entry entry;
    if (!Registry::getInstance().Find(info.sess_id, entry)) {
        TW_WARNING(kLog, "can not find registry entry for session %llu \n", U64(info.sess_id));
        return false;
    }
    DBFileInfo record;
    if (entry.event_db && entry.event_db->getEventInfo(e.m_path, record) == 1) {
        if (record.IsDir()) e.setDir();
        TW_DEBUG(kLog, "file type of deleted item %s is %d\n", e.m_path.c_str(), record.fileType);
        e.m_sess_id = info.sess_id;
        return true;
    }
    // An item that vanished before it was ever synchronised.
    TW_ERROR(kLog, "can't find file type of deleted item %s\n", e.m_path.c_str());
    return false;
}

void Detector::PushEvent(const Event& e) {
    TW_DEBUG(kLog, "PushEvent: %s at %llu\n", e.m_path.c_str(), U64(e.m_sess_id));
    EventManager& em = manager();
    if (e.m_type == Event::EV_RENAME) {
        Event removal = e;
        removal.m_type = Event::EV_REMOVE;
        removal.m_opt.clear();
        em.PushLocalEvent(removal);
        Event creation = e;
        creation.m_type = Event::EV_CREATE;
        creation.m_path = e.m_opt;
        creation.m_opt.clear();
        em.PushLocalEvent(creation);
        if (creation.isDir()) em.IssueExpand(creation.m_sess_id, creation.m_path);
        return;
    }
    em.PushLocalEvent(e);
    if (e.m_type == Event::EV_CREATE && e.isDir()) em.IssueExpand(e.m_sess_id, e.m_path);
}
