#include "fs/file_op.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/logger.h"
#include "fs/fs_detail.h"
#include "fs/rename_fallback.h"
#include "fs/tmp_name_gen.h"

namespace {

const char kComponent[] = "file_op_debug";

#ifndef EXFAT_SUPER_MAGIC
#define EXFAT_SUPER_MAGIC 0x2011BAB0
#endif
#ifndef NTFS_SB_MAGIC
#define NTFS_SB_MAGIC 0x5346544e
#endif
#ifndef NTFS3_SUPER_MAGIC
#define NTFS3_SUPER_MAGIC 0x7366746e
#endif
#ifndef CIFS_SUPER_MAGIC
#define CIFS_SUPER_MAGIC 0xFF534D42
#endif
#ifndef SMB2_SUPER_MAGIC
#define SMB2_SUPER_MAGIC 0xFE534D42
#endif
#ifndef FS_CASEFOLD_FL
#define FS_CASEFOLD_FL 0x40000000
#endif

// The directory part of `path` ("." for a bare name, "/" for "/name").
std::string DirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Whether names in directory `dir` are looked up without regard to case.
bool LooksUpCaseless(const std::string& dir) {
    struct statfs sfs;
    if (statfs(dir.c_str(), &sfs) == 0) {
        switch (static_cast<unsigned long>(sfs.f_type)) {
            case MSDOS_SUPER_MAGIC:
            case EXFAT_SUPER_MAGIC:
            case NTFS_SB_MAGIC:
            case NTFS3_SUPER_MAGIC:
            case CIFS_SUPER_MAGIC:
            case SMB2_SUPER_MAGIC:
            case SMB_SUPER_MAGIC:
                return true;
            default:
                break;
        }
    }
    // ext4 and f2fs can fold case per directory.
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool folded = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
    close(fd);
    return folded;
}

// Whether directory `dir` holds an entry named exactly `name`.
bool HasExactEntry(const std::string& dir, const std::string& name) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (struct dirent* e = readdir(d)) {
        if (name == e->d_name) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

bool IsDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int RemoveDirectoryRecursive(const std::string& path) {
    return fs_detail::RemoveDirectoryAt(AT_FDCWD, path.c_str());
}

int MapRenameError(int err) {
    TW_ERROR(kComponent, "FSRename: error code %d\n", err);
    return err == ENAMETOOLONG ? FS_ERR_NAME_TOO_LONG : -1;
}

// Renames within one file system without ever replacing `to`; errno is set
// on failure (EEXIST for an existing target).
int RenameNoReplaceSameFs(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    return fs_detail::RenameNoReplaceByLink(from, to);
}

}  // namespace

namespace fs_detail {

std::mutex& RenameLock() {
    static std::mutex lock;
    return lock;
}

int RenameNoReplaceByLinkAt(int from_dir, const char* from, int to_dir, const char* to) {
    // A hard link fails on an existing target just as RENAME_NOREPLACE does.
    struct stat st;
    if (fstatat(from_dir, from, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        if (linkat(from_dir, from, to_dir, to, 0) == 0) {
            if (unlinkat(from_dir, from, 0) == 0) return 0;
            int err = errno;
            unlinkat(to_dir, to, 0);
            errno = err;
            return -1;
        }
        if (errno == EEXIST || errno == ENOENT || errno == ENAMETOOLONG || errno == EXDEV) return -1;
    }
    // Neither (a directory, or no hard links here): check, then rename. All
    // renames of this process hold the rename lock, so none can slip in.
    if (fstatat(to_dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT) return -1;
    return renameat(from_dir, from, to_dir, to);
}

void FillFileInfo(FILE_INFO& info, const ustring& path, const struct stat& st) {
    info.isExist = true;
    info.path = path;
    info.type = FileTypeOfMode(st.st_mode);
    info.size = info.type == FT_DIR ? 0 : static_cast<uint64_t>(st.st_size);
    info.mtime = static_cast<uint32_t>(st.st_mtim.tv_sec);
}

int RemoveDirectoryAt(int parent_fd, const char* name) {
    int fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        int err = errno;
        if (fd >= 0) close(fd);
        TW_ERROR(kComponent, "RemoveDirectoryRecursive: error code %d\n", err);
        errno = err;
        return -1;
    }
    int result = 0;
    while (true) {
        errno = 0;
        struct dirent* e = readdir(d);
        if (!e) break;
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            is_dir = fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (is_dir) {
            RemoveDirectoryAt(fd, e->d_name);
        } else if (unlinkat(fd, e->d_name, 0) != 0 && errno != ENOENT) {
            TW_ERROR(kComponent, "DeleteFile: error code %d\n", errno);
            result = -1;
        }
    }
    closedir(d);
    if (unlinkat(parent_fd, name, AT_REMOVEDIR) != 0) {
        int err = errno;
        TW_ERROR(kComponent, "RemoveDirectory: error code %d\n", err);
        errno = err;
        return -1;
    }
    return result;
}

}  // namespace fs_detail

namespace {

bool WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool CopyContent(int in, int out) {
    char buf[65536];
    while (true) {
        ssize_t n = read(in, buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        if (!WriteAll(out, buf, static_cast<size_t>(n))) return false;
    }
}

void SyncDirectoryOf(const std::string& path) {
    int fd = open(DirName(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Builds a copy of `from` (a file or a link) under a fresh name beside `to`
// and gives that name; errno is set on failure and nothing is left behind.
int CopyBeside(const std::string& from, const std::string& to, const struct stat& st, std::string& tmp) {
    std::string dir = DirName(to);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = TmpNameGen::getInstance().getTmpPath(dir.c_str()).str();
        if (S_ISLNK(st.st_mode)) {
            std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
            ssize_t n = readlink(from.c_str(), target.data(), target.size());
            if (n < 0) return -1;
            target.resize(static_cast<size_t>(n));
            if (symlink(target.c_str(), tmp.c_str()) == 0) return 0;
            if (errno == EEXIST) continue;
            return -1;
        }
        int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
        if (out < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        bool ok = in >= 0 && CopyContent(in, out);
        if (ok) {
            struct timespec times[2] = {st.st_atim, st.st_mtim};
            futimens(out, times);
            ok = fsync(out) == 0;
        }
        int err = errno;
        if (in >= 0) close(in);
        if (close(out) != 0 && ok) {
            ok = false;
            err = errno;
        }
        if (ok) return 0;
        unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    errno = EEXIST;
    return -1;
}

// Moves `from` onto another file system: copy, sync, put in place, then
// remove the original.
int MoveAcrossFs(const std::string& from, const std::string& to, bool replace) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        errno = EXDEV;  // directories and special files do not move across file systems
        return -1;
    }
    std::string tmp;
    if (CopyBeside(from, to, st, tmp) != 0) return -1;
    int placed = replace ? rename(tmp.c_str(), to.c_str()) : RenameNoReplaceSameFs(tmp.c_str(), to.c_str());
    if (placed != 0) {
        int err = errno;
        unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    SyncDirectoryOf(to);
    if (unlink(from.c_str()) != 0) {
        TW_WARNING(kComponent, "FSRename: copied '%s' to '%s' but cannot remove the original, error code %d\n",
                   from.c_str(), to.c_str(), errno);
    }
    return 0;
}

int RenameLocked(const ustring& from, const ustring& to, bool replace) {
    std::lock_guard<std::mutex> guard(fs_detail::RenameLock());
    int rc = replace ? rename(from.c_str(), to.c_str()) : RenameNoReplaceSameFs(from.c_str(), to.c_str());
    if (rc != 0 && errno == EXDEV) rc = MoveAcrossFs(from.str(), to.str(), replace);
    if (rc == 0) return 0;
    int err = errno;
    if (!replace && err == EEXIST) return FS_ERR_TARGET_EXISTS;
    return MapRenameError(err);
}

}  // namespace

FILE_TYPE FileTypeOfMode(mode_t mode) {
    if (S_ISREG(mode)) return FT_FILE;
    if (S_ISDIR(mode)) return FT_DIR;
    if (S_ISLNK(mode)) return FT_SLINK;
    if (S_ISFIFO(mode)) return FT_FIFO;
    if (S_ISSOCK(mode)) return FT_SOCK;
    return FT_DEV;  // character and block devices
}

bool IsFileExist(const ustring& path, bool do_case_check) {
    if (path.empty()) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) TW_ERROR(kComponent, "FindFirstFile: %d\n", errno);
        return false;
    }
    if (!do_case_check) return true;
    std::string p = path.str();
    size_t slash = p.find_last_of('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    std::string dir = DirName(p);
    if (!LooksUpCaseless(dir)) return true;  // the lookup itself matched the exact name
    return HasExactEntry(dir, name);
}

int FSStat(const ustring& path, FILE_INFO& info, bool do_case_check) {
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) != 0) {
        // A path that cannot name anything does not exist; any other failure
        // (no permission on a parent, say) says nothing about the item and
        // must not pass for its absence.
        if (path.empty() || errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) {
            info.isExist = false;
            return 0;
        }
        TW_ERROR(kComponent, "FSStat: Failed on %s. Error code %d\n", path.c_str(), errno);
        return -1;
    }
    if (do_case_check && !IsFileExist(path, true)) {
        info.isExist = false;
        return 0;
    }
    fs_detail::FillFileInfo(info, path, st);
    return 0;
}

int FSMKDir(const ustring& path, bool isCreateParent) {
    if (isCreateParent) return FSMKDirP(path, nullptr, false, -1, -1, 0xFFFF);
    if (mkdir(path.c_str(), 0777) == 0) return 0;
    int err = errno;
    if (err == EEXIST && IsDirectory(path.c_str())) return 0;
    TW_ERROR(kComponent, "FSMKDirP: error code %d\n", err);
    errno = err;
    return -1;
}

int FSMKDirP(const ustring& path, char** /*endptr*/, bool blForceCreate, int /*uid*/, int /*gid*/, mode_t /*mode*/) {
    if (path.empty()) return -1;
    const std::string p = path.str();
    // Every prefix that ends a component, the root itself excepted.
    int result = 0;
    size_t start = 0;
    while (start < p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) end = p.size();
        if (end == start) {  // the root, or an empty component of "a//b"
            start = end + 1;
            continue;
        }
        bool last = p.find_first_not_of('/', end) == std::string::npos;
        std::string prefix = p.substr(0, end);
        start = end + 1;

        struct stat st;
        if (stat(prefix.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                result = 0;
                continue;
            }
            if (!blForceCreate) {
                errno = last ? EEXIST : ENOTDIR;
                return -1;
            }
            if (unlink(prefix.c_str()) != 0) {
                TW_DEBUG(kComponent, "FSMKDirP fail: %s\n", prefix.c_str());
                return -1;
            }
        }
        if (mkdir(prefix.c_str(), 0777) == 0 || (errno == EEXIST && IsDirectory(prefix.c_str()))) {
            TW_DEBUG(kComponent, "FSMKDirP: %s\n", prefix.c_str());
            result = 0;
        } else {
            TW_DEBUG(kComponent, "FSMKDirP fail: %s\n", prefix.c_str());
            result = -1;
        }
    }
    return result;
}

int FSRename(const ustring& from, const ustring& to, bool /*do_case_check*/) {
    return RenameLocked(from, to, true);
}

int FSRenameNoReplace(const ustring& from, const ustring& to) {
    return RenameLocked(from, to, false);
}

int FSRemove(const ustring& path, bool /*allowundo*/) {
    if (path.empty()) return -1;
    FILE_INFO info;
    if (FSStat(path, info, true) != 0) return -1;
    if (!info.isExist) return 0;
    if (info.type == FT_DIR) return RemoveDirectoryRecursive(path.str());
    if (info.type == FT_FILE) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            TW_ERROR(kComponent, "FSRemove: failed on %s. error code %d\n", path.c_str(), errno);
            return -1;
        }
        return 0;
    }
    return -1;
}

int FSUTime(const ustring& path, long /*atime*/, long mtime) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        TW_ERROR(kComponent, "FSUTime: error code %d\n", errno);
        return -1;
    }
    return 0;
}

bool isFileLocked(const ustring& path, int flag) {
    auto refused = [](int err) { return err == EACCES || err == EPERM || err == ETXTBSY || err == EROFS; };
    const bool want_read = (flag & GENERIC_READ) != 0;
    const bool want_write = (flag & GENERIC_WRITE) != 0;
    if (want_read || want_write) {
        int mode = want_read && want_write ? O_RDWR : (want_write ? O_WRONLY : O_RDONLY);
        int fd = open(path.c_str(), mode | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return refused(errno);
        close(fd);
    }
    if (flag & DELETE) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return false;
        std::string dir = DirName(path.str());
        if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return refused(errno);
        // In a sticky directory only the owners may remove an entry.
        struct stat dst;
        if (stat(dir.c_str(), &dst) == 0 && (dst.st_mode & S_ISVTX) && geteuid() != 0 && geteuid() != st.st_uid &&
            geteuid() != dst.st_uid)
            return true;
    }
    return false;
}

int FSMktemp(const ustring& prefix, ustring& path) {
    TW_DEBUG(kComponent, "FSMktemp: prefix [%s], path[%s]\n", prefix.c_str(), path.c_str());
    for (int attempt = 0; attempt < 100; ++attempt) {
        ustring candidate = TmpNameGen::getInstance().getTmpPath(prefix);
        if (candidate.empty()) {
            TW_ERROR(kComponent, "FSMktemp failed.\n");
            return -1;
        }
        int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            path = candidate;
            return 0;
        }
        if (errno != EEXIST) {
            TW_ERROR(kComponent, "FSMktemp: cannot create '%s', error code %d\n", candidate.c_str(), errno);
            return -1;
        }
    }
    TW_ERROR(kComponent, "FSMktemp failed.\n");
    return -1;
}

int FSCreateTempPath(const ustring& prefix, ustring& path) {
    path = TmpNameGen::getInstance().getTmpPath(prefix);
    return path.empty() ? -1 : 0;
}

bool IsMSDOS(const ustring& path) {
    if (path.empty()) {
        TW_ERROR(kComponent, "IsSupportLargeFile: Invalid path (%s)\n", path.c_str());
        return false;
    }
    struct statfs sfs;
    if (statfs(path.c_str(), &sfs) != 0) {
        TW_ERROR(kComponent, "GetVolumeInformation: Error code %d\n", errno);
        return false;
    }
    const char* fs_name = nullptr;
    switch (static_cast<unsigned long>(sfs.f_type)) {
        case MSDOS_SUPER_MAGIC:
            fs_name = "vfat";
            break;
        case EXFAT_SUPER_MAGIC:
            fs_name = "exfat";
            break;
        default:
            return false;
    }
    TW_WARNING(kComponent, "Detect a non-NTFS platform (%s) for path '%s'.\n", fs_name, path.c_str());
    return true;
}
