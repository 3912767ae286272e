// The no-replace rename used where the file system does not support
// renameat2(RENAME_NOREPLACE). Internal to the filesystem operations; declared
// here so that it can be exercised on file systems that do support the flag.
#pragma once

namespace fs_detail {

// Moves `from` to `to` on one file system, failing with errno EEXIST when an
// entry exists at `to`: a hard link and unlink for non-directories, and where
// hard links are not available either, a check under the caller's rename lock
// followed by a rename. 0, or -1 with errno set.
int RenameNoReplaceByLink(const char* from, const char* to);

}  // namespace fs_detail
