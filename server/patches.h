// The delta engine as the server uses it: hashing a file, building the
// patch from a kept version to the current one for a download, and
// applying a client's patch to the version it names for an upload. Every
// file is named by path; nothing is held in memory beyond the engine's
// buffers.
#pragma once

#include <cstdint>
#include <string>

#include "server/content_store.h"

namespace tw_server {

// The MD4 content hash of a file. 0, or -1 when it cannot be read.
int HashFile(const std::string& path, std::string& hash, int* abort_flag = nullptr);

// The block signature of blob `file_id` (block size 2048, hash size 8),
// made and kept beside the blob on first use. 0 or -1.
int EnsureSignature(const ContentStore& store, uint64_t file_id, std::string& signature);

// Writes to `out` the patch that turns blob `base_id` into blob
// `target_id`; `size` is its length. 0 or -1.
int BuildPatch(const ContentStore& store, uint64_t base_id, uint64_t target_id, const std::string& out, uint64_t& size,
               int* abort_flag = nullptr);

// Applies the patch in `patch` to the file `basis`, writing the result to
// `out`; `hash` is the result's MD4 and `complete` whether the patch
// reached its end command. 0, or -1 when the patch cannot be read at all.
int ApplyPatch(const std::string& basis, const std::string& patch, const std::string& out, std::string& hash,
               bool& complete);

}  // namespace tw_server
