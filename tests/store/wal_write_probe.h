// Watches the writes SQLite's unix VFS makes to write-ahead logs (files whose
// name ends in "-wal") and can make the next ones fail as on a full disk. Installed for the life of the object through the VFS's
// replaceable system calls.
#pragma once

#include <errno.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace tidewell::testing {

class WalWriteProbe {
public:
    WalWriteProbe() {
        unix_ = sqlite3_vfs_find("unix");
        if (!unix_ || !unix_->xGetSystemCall) return;
        original_ = reinterpret_cast<Pwrite>(unix_->xGetSystemCall(unix_, "pwrite64"));
        if (original_ &&
            unix_->xSetSystemCall(unix_, "pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(&probe)) == SQLITE_OK) {
            installed_ = true;
            failures_ = 0;
        }
    }
    ~WalWriteProbe() {
        if (installed_) unix_->xSetSystemCall(unix_, "pwrite64", nullptr);
    }
    WalWriteProbe(const WalWriteProbe&) = delete;
    WalWriteProbe& operator=(const WalWriteProbe&) = delete;

    bool installed() const { return installed_; }
    // The next `n` log writes fail with ENOSPC.
    void fail_next(int n) { failures_ = n; }

private:
    using Pwrite = ssize_t (*)(int, const void*, size_t, off_t);

    static bool is_log(int fd) {
        char link[64];
        char target[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n < 4) return false;
        return std::memcmp(target + n - 4, "-wal", 4) == 0;
    }

    static ssize_t probe(int fd, const void* data, size_t size, off_t offset) {
        if (is_log(fd)) {
            if (failures_ > 0) {
                --failures_;
                errno = ENOSPC;
                return -1;
            }
        }
        return original_(fd, data, size, offset);
    }

    sqlite3_vfs* unix_ = nullptr;
    bool installed_ = false;
    static inline Pwrite original_ = nullptr;
    static inline int failures_ = 0;
};

}  // namespace tidewell::testing
