// The process-wide file status database: per full local path, whether an
// event for it is pending (FSTAT_SYNCING) or the server refused a change as
// read-only (FSTAT_READ_ONLY). Other programs (the UI, file-manager overlays)
// read the same file, so its table layout is fixed.
//
// There is one file status database per process and no FileStatusDB objects:
// every function is class-wide, and initialize() names the one file for all
// threads (an object that did so would only look like a database of its
// own). Each thread keeps one connection to the file and reuses it until the
// database is initialised again or destroyed; every
// write is committed before the call returns, so any other connection sees it
// at once. Paths are full native paths with "/" separators; prefix matches are
// byte-exact (no wildcards, letter case matters).
#pragma once

#include <cstdarg>
#include <string>

#include "base/ustring.h"
#include "store/file_status_info.h"

class FileStatusDB {
public:
    FileStatusDB() = delete;

    // Creates the file and its table if needed and remembers the path: 0, or
    // -1 for an empty path, a file that cannot be opened or created, or a
    // file that is not a usable database.
    static int initialize(const ustring& location);
    // Forgets the path; later calls open a private, empty database.
    static void destroy();
    // The remembered path ("" when none).
    static std::string path();

    // Erases every entry and compacts the file: 0 or -1.
    static int removeAllEntry();
    // Turns every FSTAT_SYNCING entry into FSTAT_SYNCED: 0 or -1.
    static int updateAllSyncingEntry();

    // The write operations return 0 when the change was made, otherwise the
    // SQLite result code of what failed (opening the file or the statement).
    //
    // Stores the entry, replacing one with the same path (under a new id).
    static int setFileSyncStat(const FileStatusInfo& info);
    // Removes only the entry whose path is exactly `path`.
    static int rmFileStatByPath(const ustring& path);
    // Removes the entry of `info.path` and every entry below it (an empty
    // path is refused).
    static int rmFileSyncStat(const FileStatusInfo& info);

    // 1 and the entry of exactly `path`, 0 when there is none, -1 on an empty
    // path, a null `out` or a database failure.
    static int getFileSyncStat(const ustring& path, FileStatusInfo* out);
    // The entries directly inside `dir`, in path order, skipping `start` and
    // returning at most `limit` (a negative limit: all). An array of `size`
    // entries to release with delete[], or null when there are none or on
    // failure (`size` 0; `size` untouched for an empty `dir`).
    static FileStatusInfo* getFileSyncStats(const ustring& dir, int start, int limit, int& size);
    // Whether some entry below the folder `prefix` is FSTAT_SYNCING.
    static bool isAnySubFileDirSyncing(const ustring& prefix);
    // Whether some entry is FSTAT_SYNCING.
    static bool isAnyFileSyncing();
};

// Statement formatter with LIKE-safe quoting. Placeholders, each taking one
// argument in order:
//   @CORV:VAR    text, single quotes doubled
//   @CORV:LVAR   text as VAR, then "\", "%" and "_" escaped with "\"; the next
//                single quote of the format is followed by " escape '\'"
//   @CORV:INT    int, decimal
//   @CORV:LLINT  64-bit integer (long long), decimal
//   @CORV:NEVAR  text, unchanged
// A null text counts as empty. Every other character is copied unchanged.
// The result is allocated with malloc (release with free), or null when
// `format` is null or memory runs out.
char* CORVDBEscapeStringEX3(const char* format, ...);
char* SQLITEEscapeStringEX3(const char* format, va_list args);
