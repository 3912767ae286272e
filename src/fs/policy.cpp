#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>

#include "base/logger.h"
#include "fs/file_op.h"

namespace {

const char kComponent[] = "default_component";

#ifndef CGROUP2_SUPER_MAGIC
#define CGROUP2_SUPER_MAGIC 0x63677270
#endif
#ifndef TRACEFS_MAGIC
#define TRACEFS_MAGIC 0x74726163
#endif
#ifndef NSFS_MAGIC
#define NSFS_MAGIC 0x6e736673
#endif
#ifndef BPF_FS_MAGIC
#define BPF_FS_MAGIC 0xcafe4a11
#endif
#ifndef EFIVARFS_MAGIC
#define EFIVARFS_MAGIC 0xde5e81e4
#endif
#ifndef CONFIGFS_MAGIC
#define CONFIGFS_MAGIC 0x62656570
#endif
#ifndef FUSECTL_SUPER_MAGIC
#define FUSECTL_SUPER_MAGIC 0x65735543
#endif
#ifndef MQUEUE_MAGIC
#define MQUEUE_MAGIC 0x19800202
#endif
#ifndef BINFMTFS_MAGIC
#define BINFMTFS_MAGIC 0x42494e4d
#endif

// Kernel interfaces that look like folders but hold no user files.
bool IsPseudoFileSystem(unsigned long type) {
    switch (type) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEVPTS_SUPER_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case SELINUX_MAGIC:
        case SMACK_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
        case PSTOREFS_MAGIC:
        case NSFS_MAGIC:
        case BPF_FS_MAGIC:
        case EFIVARFS_MAGIC:
        case CONFIGFS_MAGIC:
        case FUSECTL_SUPER_MAGIC:
        case MQUEUE_MAGIC:
        case BINFMTFS_MAGIC:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool IsValidSyncFolder(const ustring& folder_path) {
    struct stat st;
    if (folder_path.empty() || lstat(folder_path.c_str(), &st) != 0) {
        TW_ERROR(kComponent, "get file attributes fail, error code [%d]\n", folder_path.empty() ? ENOENT : errno);
        return false;
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        TW_ERROR(kComponent, "cannot accept DEVICE ATTRIBE.\n");
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        TW_ERROR(kComponent, "cannot accept DEVICE REPARSE.\n");
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        TW_ERROR(kComponent, "cannot accept File Attributes = %d\n", static_cast<int>(st.st_mode));
        return false;
    }
    struct statfs sfs;
    if (statfs(folder_path.c_str(), &sfs) != 0) {
        TW_ERROR(kComponent, "get file attributes fail, error code [%d]\n", errno);
        return false;
    }
    if (IsPseudoFileSystem(static_cast<unsigned long>(sfs.f_type))) {
        TW_ERROR(kComponent, "cannot accept pseudo file system (type 0x%lx).\n",
                 static_cast<unsigned long>(sfs.f_type));
        return false;
    }
    return true;
}
