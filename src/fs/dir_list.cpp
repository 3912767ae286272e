#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "fs/file_op.h"

namespace {

FILE_TYPE TypeOfDirent(unsigned char d_type) {
    switch (d_type) {
        case DT_REG:
            return FT_FILE;
        case DT_DIR:
            return FT_DIR;
        case DT_LNK:
            return FT_SLINK;
        case DT_FIFO:
            return FT_FIFO;
        case DT_SOCK:
            return FT_SOCK;
        case DT_CHR:
        case DT_BLK:
            return FT_DEV;
        default:
            return FT_ERR;  // unknown: ask lstat
    }
}

}  // namespace

DIR_HANDLE::~DIR_HANDLE() {
    if (handle) closedir(handle);
}

int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh) {
    FSCloseDir(dh);
    dh.path = path;
    dh.flag = flag;
    return 0;
}

int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry) {
    if (!dh.handle) {
        if (dh.path.empty()) return -1;
        dh.handle = opendir(dh.path.c_str());
        if (!dh.handle) return -1;
    }
    const bool with_stat = (dh.flag & 1) != 0;
    while (true) {
        errno = 0;
        struct dirent* e = readdir(dh.handle);
        if (!e) return errno == 0 ? 0 : -1;
        FILE_TYPE type = TypeOfDirent(e->d_type);
        struct stat st;
        if (with_stat || type == FT_ERR) {
            if (fstatat(dirfd(dh.handle), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;  // removed since it was listed
                return -1;
            }
            type = FileTypeOfMode(st.st_mode);
        }
        entry.name = e->d_name;
        entry.type = type;
        if (with_stat) {
            entry.mtime = static_cast<uint32_t>(st.st_mtim.tv_sec);
            entry.size = type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
        } else {
            entry.mtime = 0;
            entry.size = 0;
        }
        return 1;
    }
}

void FSCloseDir(DIR_HANDLE& dh) {
    if (dh.handle) closedir(dh.handle);
    dh.handle = nullptr;
    dh.path.clear();
}
