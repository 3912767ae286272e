// The local file system as the synchronisation engine sees it: stat without
// following links, existence with an exact-name check, directory creation
// with parents, rename (replacing, or refusing an existing target), removal,
// modification times, temporary names, directory listing, lock probing and
// the checks made on a folder before it becomes a sync folder.
//
// Paths are UTF-8 `ustring`s separated by "/". Symbolic links are reported as
// links and never followed; devices, FIFOs and sockets are kinds of their own
// that the engine does not synchronise.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>

#include "base/ustring.h"

enum FILE_TYPE {
    FT_ERR = 0,
    FT_FILE = 1,
    FT_DIR = 2,
    FT_SLINK = 3,
    FT_HLINK = 4,
    FT_DEV = 5,
    FT_FIFO = 6,
    FT_SOCK = 7,
};

// What a stat of one local path gives.
struct FILE_INFO {
    ustring path;  // the path asked for
    ustring name;  // not filled by FSStat
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0;  // seconds since 1970-01-01 UTC
    uint64_t size = 0;   // bytes; 0 for a directory
    bool isExist = false;
    uint32_t uid = 0;  // not filled
    uint32_t gid = 0;  // not filled

    // Compares isExist, size, mtime, type, path and name (not uid, gid).
    bool operator==(const FILE_INFO& other) const {
        return isExist == other.isExist && size == other.size && mtime == other.mtime && type == other.type &&
               path == other.path && name == other.name;
    }
    bool operator!=(const FILE_INFO& other) const { return !(*this == other); }
};

typedef FILE_INFO LocalFileInfo;

// A directory listing in progress. Bit 0 of `flag` asks for each entry's
// mtime and size. The listing starts at the first FSReadDir and is closed by
// FSCloseDir, or at the latest when the handle is destroyed.
struct DIR_HANDLE {
    ustring path;
    int flag = 0;
    DIR* handle = nullptr;

    DIR_HANDLE() = default;
    DIR_HANDLE(const DIR_HANDLE&) = delete;
    DIR_HANDLE& operator=(const DIR_HANDLE&) = delete;
    ~DIR_HANDLE();
};

struct DIR_ENTRY {
    ustring name;  // the entry's name only
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0;
    uint64_t size = 0;  // files only; 0 for directories and links
};

// Access rights for isFileLocked, with the values the callers know them by.
constexpr int GENERIC_READ = static_cast<int>(0x80000000u);
constexpr int GENERIC_WRITE = 0x40000000;
constexpr int DELETE = 0x00010000;

// Result of FSRename for a name or path that is too long or malformed.
constexpr int FS_ERR_NAME_TOO_LONG = -100;
// Result of FSRenameNoReplace when something exists at the target.
constexpr int FS_ERR_TARGET_EXISTS = -2;
// Result of FSRemove when the recycle-bin deletion failed.
constexpr int FS_ERR_RECYCLE = -3;

// The kind of an item from its stat mode (devices are FT_DEV).
FILE_TYPE FileTypeOfMode(mode_t mode);

// 0 with info.isExist false when nothing is there, 0 with every field filled
// when it is, -1 on any other failure. A link is stat'ed itself.
int FSStat(const ustring& path, FILE_INFO& info, bool do_case_check);

// Whether the item exists; with `do_case_check`, also that its last
// component is stored under exactly that name (a case-insensitive file
// system may find it under another case).
bool IsFileExist(const ustring& path, bool do_case_check);

// 0 when `path` is a directory afterwards, else -1.
int FSMKDir(const ustring& path, bool isCreateParent);

// Creates every missing directory of `path`. A non-directory in the way fails
// (errno EEXIST for the last component, ENOTDIR for another) unless
// `blForceCreate`, which deletes it. `endptr`, `uid`, `gid` and `mode` are
// not used.
int FSMKDirP(const ustring& path, char** endptr, bool blForceCreate, int uid, int gid, mode_t mode);

// Moves `from` to `to`, replacing an existing `to`; across file systems a
// file or link is copied, synced and the original removed. 0,
// FS_ERR_NAME_TOO_LONG, or -1. `do_case_check` is not used.
int FSRename(const ustring& from, const ustring& to, bool do_case_check);

// As FSRename, but never replaces anything: FS_ERR_TARGET_EXISTS when an
// entry exists at `to` (that entry is left untouched).
int FSRenameNoReplace(const ustring& from, const ustring& to);

// Removes a file, or a directory with everything in it (links inside are
// removed, never followed). 0, also when nothing is there; -1 on failure or
// for a link or device at `path`. There is no recycle bin here: `allowundo`
// removes permanently as well.
int FSRemove(const ustring& path, bool allowundo);

// Sets the item's modification time (a link's own); `atime` is not used.
int FSUTime(const ustring& path, long atime, long mtime);

// Whether opening the item with the access `flag` (GENERIC_READ,
// GENERIC_WRITE, DELETE) is refused for lack of permission or because it is
// busy. A missing item is not locked.
bool isFileLocked(const ustring& path, int flag);

// Creates an empty file under a fresh name in directory `prefix` (never an
// existing one) and gives its path: 0, or -1.
int FSMktemp(const ustring& prefix, ustring& path);

// A fresh name in `prefix` ("/" + name for an empty prefix), nothing created.
int FSCreateTempPath(const ustring& prefix, ustring& path);

// Whether the folder lies on a FAT-family file system (vfat, msdos, exfat),
// whose times have two-second steps.
bool IsMSDOS(const ustring& path);

// Records `path` and `flag` in `dh`; always 0.
int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh);
// 1 and the next entry ("." and ".." included), 0 at the end, -1 on error.
int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry);
void FSCloseDir(DIR_HANDLE& dh);

// Whether the path may serve as a sync folder: an existing directory, not a
// link, not on a pseudo file system such as proc or sysfs.
bool IsValidSyncFolder(const ustring& folder_path);
