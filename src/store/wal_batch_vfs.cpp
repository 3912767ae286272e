#include "store/wal_batch_vfs.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>

namespace tw_store {
namespace {

constexpr const char* kVfsName = "tidewell-wal-batch";
constexpr int kFrameHeaderSize = 24;
constexpr int kMaxPageSize = 65536;
constexpr size_t kMaxWrite = 65536;
// The most frame bytes gathered before they are written without waiting for
// the commit frame: the bound on the memory one open log takes.
constexpr size_t kWalBatchLimit = 64 * 1024;

sqlite3_vfs* g_base = nullptr;  // the wrapped VFS
sqlite3_vfs g_vfs;

// An open write-ahead log: our part, followed in the same allocation by the
// wrapped VFS's file.
struct WalFile {
    sqlite3_file base;
    sqlite3_file* real;
    unsigned char* buf;   // gathered frames (sqlite3_malloc), null until needed
    size_t used;          // bytes gathered
    sqlite3_int64 start;  // file offset of buf[0]
    bool header_pending;  // the last gathered write is a frame header
    bool commit_frame;    // ... and that header is a commit frame's
};

constexpr size_t kWalFileSize = (sizeof(WalFile) + 7) & ~static_cast<size_t>(7);
constexpr size_t kBufferSize = kWalBatchLimit + kFrameHeaderSize + kMaxPageSize;

WalFile* wal(sqlite3_file* file) {
    return reinterpret_cast<WalFile*>(file);
}

bool is_page_size(int amt) {
    return amt >= 512 && amt <= kMaxPageSize && (amt & (amt - 1)) == 0;
}

// Writes what has been gathered, in pieces of at most 64 KiB (SQLite's unix
// VFS takes no single write above 128 KiB). The gathered bytes are dropped
// either way: after a failure SQLite writes those frames again before it
// uses them.
int flush(WalFile* f) {
    int rc = SQLITE_OK;
    for (size_t done = 0; done < f->used && rc == SQLITE_OK;) {
        size_t piece = f->used - done < kMaxWrite ? f->used - done : kMaxWrite;
        rc = f->real->pMethods->xWrite(f->real, f->buf + done, static_cast<int>(piece),
                                       f->start + static_cast<sqlite3_int64>(done));
        done += piece;
    }
    f->used = 0;
    f->header_pending = false;
    f->commit_frame = false;
    return rc;
}

int wal_close(sqlite3_file* file) {
    WalFile* f = wal(file);
    int rc = flush(f);
    int close_rc = f->real->pMethods->xClose(f->real);
    sqlite3_free(f->buf);
    f->buf = nullptr;
    return rc != SQLITE_OK ? rc : close_rc;
}

// Writes what has been gathered, then makes `call` on the wrapped file.
template <typename Call>
int after_flush(sqlite3_file* file, Call call) {
    WalFile* f = wal(file);
    int rc = flush(f);
    return rc != SQLITE_OK ? rc : call(f->real);
}

int wal_read(sqlite3_file* file, void* out, int amt, sqlite3_int64 offset) {
    return after_flush(file, [&](sqlite3_file* real) { return real->pMethods->xRead(real, out, amt, offset); });
}

// Gathers `amt` bytes at the end of the buffer; false when there is no
// buffer to gather into.
bool gather(WalFile* f, const void* data, int amt, sqlite3_int64 offset) {
    if (!f->buf) {
        f->buf = static_cast<unsigned char*>(sqlite3_malloc64(kBufferSize));
        if (!f->buf) return false;
    }
    if (f->used == 0) f->start = offset;
    std::memcpy(f->buf + f->used, data, static_cast<size_t>(amt));
    f->used += static_cast<size_t>(amt);
    return true;
}

int wal_write(sqlite3_file* file, const void* data, int amt, sqlite3_int64 offset) {
    WalFile* f = wal(file);
    bool appends = f->used == 0 || offset == f->start + static_cast<sqlite3_int64>(f->used);
    if (appends && !f->header_pending && amt == kFrameHeaderSize && f->used < kWalBatchLimit) {
        // A frame header. Bytes 4..7 hold the database size after a commit,
        // and are zero in every other frame.
        const unsigned char* header = static_cast<const unsigned char*>(data);
        if (gather(f, data, amt, offset)) {
            f->header_pending = true;
            f->commit_frame = (header[4] | header[5] | header[6] | header[7]) != 0;
            return SQLITE_OK;
        }
    } else if (appends && f->header_pending && is_page_size(amt)) {
        // The page of the frame whose header was gathered last (the buffer
        // exists and has room for it).
        gather(f, data, amt, offset);
        f->header_pending = false;
        if (f->commit_frame || f->used >= kWalBatchLimit) return flush(f);
        return SQLITE_OK;
    }
    return after_flush(file, [&](sqlite3_file* real) { return real->pMethods->xWrite(real, data, amt, offset); });
}

int wal_truncate(sqlite3_file* file, sqlite3_int64 size) {
    return after_flush(file, [&](sqlite3_file* real) { return real->pMethods->xTruncate(real, size); });
}

int wal_sync(sqlite3_file* file, int flags) {
    return after_flush(file, [&](sqlite3_file* real) { return real->pMethods->xSync(real, flags); });
}

int wal_file_size(sqlite3_file* file, sqlite3_int64* size) {
    return after_flush(file, [&](sqlite3_file* real) { return real->pMethods->xFileSize(real, size); });
}

int wal_lock(sqlite3_file* file, int level) {
    WalFile* f = wal(file);
    return f->real->pMethods->xLock(f->real, level);
}

int wal_unlock(sqlite3_file* file, int level) {
    WalFile* f = wal(file);
    return f->real->pMethods->xUnlock(f->real, level);
}

int wal_check_reserved(sqlite3_file* file, int* out) {
    WalFile* f = wal(file);
    return f->real->pMethods->xCheckReservedLock(f->real, out);
}

int wal_file_control(sqlite3_file* file, int op, void* arg) {
    return after_flush(file, [&](sqlite3_file* real) { return real->pMethods->xFileControl(real, op, arg); });
}

int wal_sector_size(sqlite3_file* file) {
    WalFile* f = wal(file);
    return f->real->pMethods->xSectorSize(f->real);
}

int wal_device_characteristics(sqlite3_file* file) {
    WalFile* f = wal(file);
    return f->real->pMethods->xDeviceCharacteristics(f->real);
}

// Version 1: SQLite maps shared memory and pages only through the database
// file, never through its log.
const sqlite3_io_methods kWalMethods = {
    1,
    wal_close,
    wal_read,
    wal_write,
    wal_truncate,
    wal_sync,
    wal_file_size,
    wal_lock,
    wal_unlock,
    wal_check_reserved,
    wal_file_control,
    wal_sector_size,
    wal_device_characteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Logs get our methods; every other file is the wrapped VFS's own, opened
// in place.
int vfs_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
    if (!(flags & SQLITE_OPEN_WAL)) return g_base->xOpen(g_base, name, file, flags, out_flags);
    WalFile* f = wal(file);
    std::memset(f, 0, sizeof *f);
    f->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kWalFileSize);
    int rc = g_base->xOpen(g_base, name, f->real, flags, out_flags);
    if (rc != SQLITE_OK) {
        if (f->real->pMethods) f->real->pMethods->xClose(f->real);
        file->pMethods = nullptr;
        return rc;
    }
    file->pMethods = &kWalMethods;
    return SQLITE_OK;
}

int vfs_delete(sqlite3_vfs*, const char* name, int sync_dir) {
    return g_base->xDelete(g_base, name, sync_dir);
}

int vfs_access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_base->xAccess(g_base, name, flags, out);
}

int vfs_full_pathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return g_base->xFullPathname(g_base, name, n, out);
}

void* vfs_dl_open(sqlite3_vfs*, const char* name) {
    return g_base->xDlOpen(g_base, name);
}

void vfs_dl_error(sqlite3_vfs*, int n, char* out) {
    g_base->xDlError(g_base, n, out);
}

void (*vfs_dl_sym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return g_base->xDlSym(g_base, handle, symbol);
}

void vfs_dl_close(sqlite3_vfs*, void* handle) {
    g_base->xDlClose(g_base, handle);
}

int vfs_randomness(sqlite3_vfs*, int n, char* out) {
    return g_base->xRandomness(g_base, n, out);
}

int vfs_sleep(sqlite3_vfs*, int microseconds) {
    return g_base->xSleep(g_base, microseconds);
}

int vfs_current_time(sqlite3_vfs*, double* out) {
    return g_base->xCurrentTime(g_base, out);
}

int vfs_get_last_error(sqlite3_vfs*, int n, char* out) {
    return g_base->xGetLastError ? g_base->xGetLastError(g_base, n, out) : 0;
}

int vfs_current_time_int64(sqlite3_vfs*, sqlite3_int64* out) {
    return g_base->xCurrentTimeInt64(g_base, out);
}

int vfs_set_system_call(sqlite3_vfs*, const char* name, sqlite3_syscall_ptr call) {
    return g_base->xSetSystemCall(g_base, name, call);
}

sqlite3_syscall_ptr vfs_get_system_call(sqlite3_vfs*, const char* name) {
    return g_base->xGetSystemCall(g_base, name);
}

const char* vfs_next_system_call(sqlite3_vfs*, const char* name) {
    return g_base->xNextSystemCall(g_base, name);
}

bool register_vfs() {
    g_base = sqlite3_vfs_find(nullptr);
    if (!g_base) return false;
    std::memset(&g_vfs, 0, sizeof g_vfs);
    g_vfs.iVersion = g_base->iVersion < 3 ? g_base->iVersion : 3;
    g_vfs.szOsFile = static_cast<int>(kWalFileSize) + g_base->szOsFile;
    g_vfs.mxPathname = g_base->mxPathname;
    g_vfs.zName = kVfsName;
    g_vfs.xOpen = vfs_open;
    g_vfs.xDelete = vfs_delete;
    g_vfs.xAccess = vfs_access;
    g_vfs.xFullPathname = vfs_full_pathname;
    g_vfs.xDlOpen = g_base->xDlOpen ? vfs_dl_open : nullptr;
    g_vfs.xDlError = g_base->xDlError ? vfs_dl_error : nullptr;
    g_vfs.xDlSym = g_base->xDlSym ? vfs_dl_sym : nullptr;
    g_vfs.xDlClose = g_base->xDlClose ? vfs_dl_close : nullptr;
    g_vfs.xRandomness = vfs_randomness;
    g_vfs.xSleep = vfs_sleep;
    g_vfs.xCurrentTime = vfs_current_time;
    g_vfs.xGetLastError = vfs_get_last_error;
    if (g_vfs.iVersion >= 2) g_vfs.xCurrentTimeInt64 = vfs_current_time_int64;
    if (g_vfs.iVersion >= 3) {
        g_vfs.xSetSystemCall = g_base->xSetSystemCall ? vfs_set_system_call : nullptr;
        g_vfs.xGetSystemCall = g_base->xGetSystemCall ? vfs_get_system_call : nullptr;
        g_vfs.xNextSystemCall = g_base->xNextSystemCall ? vfs_next_system_call : nullptr;
    }
    return sqlite3_vfs_register(&g_vfs, 0) == SQLITE_OK;
}

}  // namespace

const char* wal_batch_vfs() {
    static std::once_flag once;
    static bool registered = false;
    std::call_once(once, [] { registered = register_vfs(); });
    return registered ? kVfsName : nullptr;
}

}  // namespace tw_store
