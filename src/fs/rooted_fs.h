// File operations confined to one directory tree, the root: a session's
// local folder, below which the workers create, write, rename and remove
// what they synchronise.
//
// Every operation names its items by event paths relative to the root ("/"
// then components separated by "/", checked with EventPathProblem(): no "."
// or ".." component, no empty one, no trailing "/"). The path is resolved
// below the root without following any symbolic link:
//  - a link among the directories of the path fails the operation with
//    ELOOP, whatever it points to;
//  - the last component is acted on itself: Lstat reports a link as FT_SLINK,
//    Rename moves the link, every open, Remove and SetModificationTime
//    refuse a link with ELOOP.
// So neither a link inside the tree (a -> /etc) nor a hostile path
// ("/../../x") can make a write, a rename or a removal land outside it.
//
// Resolution: openat2() with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the
// kernel has it; otherwise a walk of the components, each opened with
// O_NOFOLLOW below the one before. Both give the same results. The root
// itself is opened once by its path (a link in that path is followed: it is
// the configuration's choice, not content of the tree).
//
// Results: 0, or a descriptor (>= 0, close-on-exec, owned by the caller) for
// the opens; otherwise -1 with errno set, or FS_ERR_TARGET_EXISTS (errno
// EEXIST) from RenameNoReplace. Besides the errors of the system calls:
//   EINVAL   not a valid event path, the root where an item is needed, or an
//            open of something that is not a regular file
//   ELOOP    a symbolic link in the way, or as the item of an open, Remove
//            or SetModificationTime
//   EBADF    the object has no root (Open failed or was not called)
//   EXDEV    a rename between file systems (nothing is copied here)
// Nothing is logged: callers log with their own context.
//
// Thread safety: after Open, any number of threads may use one object at once
// (each call resolves on its own descriptors). Open and Close require that
// no other call is in progress. Renames take the process-wide rename lock
// that FSRename takes, so they never interleave with each other.
//
// What it does not stop: a directory of the tree that another process moves
// outside the root while a call is between resolving it and acting in it.
// That needs write access to the tree itself.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "base/ustring.h"
#include "fs/file_op.h"

class RootedFs {
public:
    // How paths are resolved: the kernel's confined lookup where available,
    // or always the component walk (the fallback, selectable for tests).
    enum class Resolver { Auto, ComponentWalk };

    explicit RootedFs(Resolver resolver = Resolver::Auto);
    ~RootedFs();
    RootedFs(const RootedFs&) = delete;
    RootedFs& operator=(const RootedFs&) = delete;

    // Opens the directory `root` as the root (closing a previous one): 0 or -1.
    int Open(const ustring& root);
    void Close();
    bool IsOpen() const { return root_fd >= 0; }
    // The path given to Open ("" when closed).
    const ustring& Root() const { return root_path; }

    // The item itself, a link not followed: 0 and `info` filled (its `path`
    // is `path`; `name`, `uid` and `gid` are left alone), or 0 with
    // info.isExist false when nothing is there (nor, for a missing or
    // non-directory parent, can be). "/" is the root.
    int Lstat(const ustring& path, FILE_INFO& info) const;

    // A new regular file opened for writing; EEXIST when anything (a link
    // too) is there already. `mode` is reduced by the umask.
    int CreateFile(const ustring& path, mode_t mode = 0666) const;
    // An existing regular file opened for writing (at its start; emptied
    // first with `truncate`), or a new one.
    int OpenForWrite(const ustring& path, bool truncate, mode_t mode = 0666) const;
    // An existing regular file opened for reading.
    int OpenForRead(const ustring& path) const;

    // Creates every missing directory of `path` ("/" is there already). A
    // non-directory in the way fails with ENOTDIR, or EEXIST when it is the
    // last component; nothing in the way is replaced.
    int MakeDirectories(const ustring& path, mode_t mode = 0777) const;

    // Moves `from` to `to`, replacing what is at `to` as rename(2) does.
    int Rename(const ustring& from, const ustring& to) const;
    // The same, but FS_ERR_TARGET_EXISTS when anything is at `to` (which is
    // left untouched).
    int RenameNoReplace(const ustring& from, const ustring& to) const;

    // Removes a regular file, or a directory with everything in it (links
    // inside are removed themselves, never followed). 0 also when nothing is
    // there; the root cannot be removed (EINVAL); a link, device, FIFO or
    // socket at `path` is refused (ELOOP for a link, EINVAL otherwise).
    int Remove(const ustring& path) const;

    // Sets the item's modification time (seconds since 1970-01-01 UTC),
    // leaving its access time; "/" is the root.
    int SetModificationTime(const ustring& path, uint32_t mtime) const;

private:
    // A descriptor of the directory that holds `path`'s last component, and
    // that component in `leaf`: -1 with errno on failure. The root is never
    // a leaf: for "/" the call fails with EINVAL.
    int OpenParent(const ustring& path, std::string& leaf) const;
    // The directory at `relative` (components without a leading "/"; ""
    // for the root itself), opened with O_PATH.
    int OpenDirectory(const std::string& relative) const;
    int OpenDirectoryByWalk(const std::string& relative) const;
    int OpenFile(const ustring& path, int flags, mode_t mode, bool truncate) const;
    int RenameImpl(const ustring& from, const ustring& to, bool replace) const;

    Resolver resolver;
    int root_fd = -1;
    ustring root_path;
};
