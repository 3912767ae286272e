// Pieces shared by the filesystem operations (file_op.cpp) and the
// root-confined operations (rooted_fs.cpp). Internal to tw_fs.
#pragma once

#include <sys/stat.h>

#include "base/ustring.h"
#include "fs/file_op.h"

namespace fs_detail {

// Removes the directory `name` inside `parent_fd` with all its content,
// never following a link (a link inside is removed itself). Entries that
// cannot be removed are logged and the rest still goes. 0, or -1.
int RemoveDirectoryAt(int parent_fd, const char* name);

// Fills what a stat gives of an existing item: isExist, path (as asked),
// type, size (0 for a directory) and mtime; name, uid and gid are left.
void FillFileInfo(FILE_INFO& info, const ustring& path, const struct stat& st);

}  // namespace fs_detail
