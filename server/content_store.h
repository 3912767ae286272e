// The files of one view: content blobs, their signatures, upload parts,
// download payloads and scratch files, all under the view's folder.
//
//   content/<file_id>      a complete blob, named by its contents row
//   signatures/<file_id>   the blob's block signature, made on first need
//   uploads/<token>        bytes an upload has sent under a resume token
//   payloads/<token>       a patch a download serves under a resume token
//   tmp/                   files being built; emptied at start
//
// A blob appears under content/ only by rename from a complete file that
// has been flushed (unless durability is off), and the rename is flushed
// before the index names the blob, so that a crash at any moment leaves
// every named blob whole; a blob without a row is an orphan, removed at
// start. Thread safety: the paths are fixed after Open and the operations
// are plain file calls; concurrent users work on different files.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace tw_server {

class ContentStore {
public:
    ContentStore(std::string dir, bool durable) : dir_(std::move(dir)), durable_(durable) {}

    // Creates the folders and empties tmp/. 0, or -1 with `error`.
    int Open(std::string& error);

    const std::string& dir() const { return dir_; }
    bool durable() const { return durable_; }
    std::string BlobPath(uint64_t file_id) const;
    std::string SignaturePath(uint64_t file_id) const;
    std::string UploadPath(const std::string& token) const;
    std::string PayloadPath(const std::string& token) const;
    // A fresh name in tmp/ (the file is not created).
    std::string TempPath() const;

    // Flushes a file's bytes to disk (nothing when durability is off).
    int Flush(const std::string& path) const;
    // Moves the complete file `from` (flushed, on the same file system) to
    // be blob `file_id`, and flushes the folder. 0 or errno.
    int Install(const std::string& from, uint64_t file_id) const;
    // Removes a blob and its signature.
    void RemoveBlob(uint64_t file_id) const;
    // Removes every blob and signature whose id is not in `known`.
    void RemoveOrphans(const std::set<uint64_t>& known) const;

private:
    int FlushFolder(const std::string& folder) const;

    const std::string dir_;
    const bool durable_;
};

// Flushes `path` (a file or a folder) to disk. 0 or errno.
int SyncPath(const std::string& path);

// The size of a file; false when it cannot be examined.
bool FileSize(const std::string& path, uint64_t& size);

}  // namespace tw_server
