#include "fs/rooted_fs.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

#include "fs/event_path.h"
#include "fs/fs_detail.h"
#include "fs/rename_fallback.h"

namespace {

// Cleared once the kernel has said it has no openat2 (or a sandbox refuses
// the call): every later resolution walks the components instead.
std::atomic<bool> g_have_openat2{true};

// A descriptor closed at the end of its scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held and takes `fd` instead.
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Fails with `err` as the result of an operation: -1.
int fail(int err) {
    errno = err;
    return -1;
}

// The components of a valid event path, without the leading "/"; the parent
// part ("" for an item in the root) and the last component.
void split(const ustring& path, std::string& parent, std::string& leaf) {
    std::string p = path.str().substr(1);
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
        parent.clear();
        leaf = p;
    } else {
        parent = p.substr(0, slash);
        leaf = p.substr(slash + 1);
    }
}

// After a failed open of `name` in `dir` with O_NOFOLLOW: ELOOP when `name`
// is a symbolic link (the open says ENOTDIR or ELOOP, by the flags it had).
int link_or(int dir, const char* name, int err) {
    struct stat st;
    if ((err == ENOTDIR || err == ELOOP) && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return ELOOP;
    return err;
}

}  // namespace

RootedFs::RootedFs(Resolver r) : resolver(r) {}

RootedFs::~RootedFs() {
    Close();
}

int RootedFs::Open(const ustring& root) {
    Close();
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    root_fd = fd;
    root_path = root;
    return 0;
}

void RootedFs::Close() {
    if (root_fd >= 0) close(root_fd);
    root_fd = -1;
    root_path.clear();
}

int RootedFs::OpenDirectoryByWalk(const std::string& relative) const {
    Fd dir(fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
    if (dir.get() < 0) return -1;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        std::string name = relative.substr(start, end - start);
        int next = openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return fail(link_or(dir.get(), name.c_str(), errno));
        dir.reset(next);
        start = end + 1;
    }
    return dir.release();
}

int RootedFs::OpenDirectory(const std::string& relative) const {
    if (root_fd < 0) return fail(EBADF);
    if (relative.empty()) return fcntl(root_fd, F_DUPFD_CLOEXEC, 0);
    if (resolver == Resolver::Auto && g_have_openat2.load(std::memory_order_relaxed)) {
        struct open_how how = {};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, root_fd, relative.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        // ENOSYS: an older kernel; EPERM: a sandbox that filters the call
        // (a confined O_PATH lookup has no other way to give EPERM).
        if (errno != ENOSYS && errno != EPERM) return -1;
        g_have_openat2.store(false, std::memory_order_relaxed);
    }
    return OpenDirectoryByWalk(relative);
}

int RootedFs::OpenParent(const ustring& path, std::string& leaf) const {
    if (EventPathProblem(path, EventPathRoot::Refuse)) return fail(EINVAL);
    std::string parent;
    split(path, parent, leaf);
    return OpenDirectory(parent);
}

int RootedFs::Lstat(const ustring& path, FILE_INFO& info) const {
    if (EventPathProblem(path, EventPathRoot::Allow)) return fail(EINVAL);
    struct stat st;
    if (path == "/") {
        if (root_fd < 0) return fail(EBADF);
        if (fstat(root_fd, &st) != 0) return -1;
    } else {
        std::string leaf;
        Fd dir(OpenParent(path, leaf));
        int rc = dir.get() >= 0 ? fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) : -1;
        if (rc != 0) {
            // Nothing can be there when the parent is missing or is not a
            // directory; a link in the way is an error, not an absence.
            if (errno == ENOENT || errno == ENOTDIR) {
                info.isExist = false;
                return 0;
            }
            return -1;
        }
    }
    fs_detail::FillFileInfo(info, path, st);
    return 0;
}

int RootedFs::OpenFile(const ustring& path, int flags, mode_t mode, bool truncate) const {
    std::string leaf;
    Fd dir(OpenParent(path, leaf));
    if (dir.get() < 0) return -1;
    // O_NONBLOCK keeps the open of a FIFO from waiting for its other end;
    // anything but a regular file is refused below before it is used.
    int fd = openat(dir.get(), leaf.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return fail(link_or(dir.get(), leaf.c_str(), errno));
    Fd file(fd);
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) return fail(EINVAL);
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) return -1;
    if (truncate && ftruncate(fd, 0) != 0) return -1;
    return file.release();
}

int RootedFs::CreateFile(const ustring& path, mode_t mode) const {
    return OpenFile(path, O_WRONLY | O_CREAT | O_EXCL, mode, false);
}

int RootedFs::OpenForWrite(const ustring& path, bool truncate, mode_t mode) const {
    return OpenFile(path, O_WRONLY | O_CREAT, mode, truncate);
}

int RootedFs::OpenForRead(const ustring& path) const {
    return OpenFile(path, O_RDONLY, 0, false);
}

int RootedFs::MakeDirectories(const ustring& path, mode_t mode) const {
    if (EventPathProblem(path, EventPathRoot::Allow)) return fail(EINVAL);
    if (root_fd < 0) return fail(EBADF);
    Fd dir(fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
    if (dir.get() < 0) return -1;
    const std::string relative = path.str().substr(1);
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const bool last = end == relative.size();
        const std::string name = relative.substr(start, end - start);
        start = end + 1;
        // Two tries: a directory that another process creates between our
        // open and our mkdir is taken as it is.
        int next = -1;
        for (int attempt = 0; attempt < 2 && next < 0; ++attempt) {
            next = openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next >= 0) break;
            int err = link_or(dir.get(), name.c_str(), errno);
            if (err == ENOTDIR) return fail(last ? EEXIST : ENOTDIR);
            if (err != ENOENT) return fail(err);
            if (mkdirat(dir.get(), name.c_str(), mode) != 0 && errno != EEXIST) return -1;
        }
        if (next < 0) return -1;
        dir.reset(next);
    }
    return 0;
}

int RootedFs::RenameImpl(const ustring& from, const ustring& to, bool replace) const {
    std::string from_leaf, to_leaf;
    Fd from_dir(OpenParent(from, from_leaf));
    if (from_dir.get() < 0) return -1;
    Fd to_dir(OpenParent(to, to_leaf));
    if (to_dir.get() < 0) return -1;
    std::lock_guard<std::mutex> guard(fs_detail::RenameLock());
    if (replace) return renameat(from_dir.get(), from_leaf.c_str(), to_dir.get(), to_leaf.c_str());
    if (renameat2(from_dir.get(), from_leaf.c_str(), to_dir.get(), to_leaf.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
        if (fs_detail::RenameNoReplaceByLinkAt(from_dir.get(), from_leaf.c_str(), to_dir.get(), to_leaf.c_str()) == 0)
            return 0;
    return errno == EEXIST ? FS_ERR_TARGET_EXISTS : -1;
}

int RootedFs::Rename(const ustring& from, const ustring& to) const {
    return RenameImpl(from, to, true);
}

int RootedFs::RenameNoReplace(const ustring& from, const ustring& to) const {
    return RenameImpl(from, to, false);
}

int RootedFs::Remove(const ustring& path) const {
    std::string leaf;
    Fd dir(OpenParent(path, leaf));
    // Nothing is there when the parent is missing or is not a directory.
    if (dir.get() < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    struct stat st;
    if (fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
    if (S_ISDIR(st.st_mode)) return fs_detail::RemoveDirectoryAt(dir.get(), leaf.c_str());
    if (S_ISLNK(st.st_mode)) return fail(ELOOP);
    if (!S_ISREG(st.st_mode)) return fail(EINVAL);
    if (unlinkat(dir.get(), leaf.c_str(), 0) != 0 && errno != ENOENT) return -1;
    return 0;
}

int RootedFs::SetModificationTime(const ustring& path, uint32_t mtime) const {
    if (EventPathProblem(path, EventPathRoot::Allow)) return fail(EINVAL);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
    if (path == "/") {
        if (root_fd < 0) return fail(EBADF);
        return futimens(root_fd, times);
    }
    std::string leaf;
    Fd dir(OpenParent(path, leaf));
    if (dir.get() < 0) return -1;
    struct stat st;
    if (fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (S_ISLNK(st.st_mode)) return fail(ELOOP);
    return utimensat(dir.get(), leaf.c_str(), times, AT_SYMLINK_NOFOLLOW);
}
