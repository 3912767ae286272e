// The process-wide rename lock and the no-replace rename used where the file
// system does not support renameat2(RENAME_NOREPLACE). Internal to the
// filesystem operations; declared here so that the root-confined operations
// share them and so that the fallback can be exercised on file systems that
// do support the flag.
#pragma once

#include <fcntl.h>

#include <mutex>

namespace fs_detail {

// Held by every rename of this process (FSRename, FSRenameNoReplace and the
// root-confined renames), so that renames never interleave. A leaf lock.
std::mutex& RenameLock();

// Moves `from` (in directory `from_dir`) to `to` (in `to_dir`) on one file
// system, failing with errno EEXIST when an entry exists at `to`: a hard
// link and unlink for non-directories, and where hard links are not
// available either, a check followed by a rename. Neither name is followed
// if it is a link. REQUIRES: RenameLock() held. 0, or -1 with errno set.
int RenameNoReplaceByLinkAt(int from_dir, const char* from, int to_dir, const char* to);

inline int RenameNoReplaceByLink(const char* from, const char* to) {
    return RenameNoReplaceByLinkAt(AT_FDCWD, from, AT_FDCWD, to);
}

}  // namespace fs_detail
