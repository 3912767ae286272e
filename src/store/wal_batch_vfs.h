// A SQLite VFS that wraps the platform's default one and writes each
// transaction's write-ahead log frames with one system call instead of two
// per page.
//
// SQLite appends a frame as two writes, its 24-byte header and then the page.
// For a file opened as a write-ahead log, this VFS gathers a run of such
// frames in memory and writes the run when the transaction's commit frame
// (a frame header whose "database size" field is not zero) has been added,
// inside the write call of that frame, so that a failed write (a full disk)
// fails the commit exactly as it would without the VFS. Before the commit
// frame is written nothing in the log refers to the gathered frames, and
// every other call on the log file (read, size, truncate, sync, close, any
// write that is not the next frame part) writes them first. Writes that do
// not follow the frame pattern pass straight through, as does every other
// kind of file.
#pragma once

namespace tw_store {

// The name of the VFS, registered (not as the default) on the first call;
// null when it could not be registered, in which case callers open their
// database with the default VFS.
const char* wal_batch_vfs();

}  // namespace tw_store
