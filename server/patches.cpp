#include "server/patches.h"

#include <stdio.h>
#include <unistd.h>

#include "base/logger.h"
#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";
constexpr uint32_t kBlockSize = 2048;
constexpr uint32_t kHashSize = 8;

}  // namespace

int HashFile(const std::string& path, std::string& hash, int* abort_flag) {
    ustring result;
    SimpleFileReader reader;
    reader.setFile(ustring(path));
    reader.setHashString(result);
    reader.setAbortFlag(abort_flag);
    if (reader.readFile() != FileReader::SUCCESS) {
        TW_ERROR(kComponent, "cannot hash %s\n", path.c_str());
        return -1;
    }
    hash = result.str();
    return 0;
}

int EnsureSignature(const ContentStore& store, uint64_t file_id, std::string& signature) {
    signature = store.SignaturePath(file_id);
    if (access(signature.c_str(), R_OK) == 0) return 0;
    // Built aside and renamed, so that a reader never sees half of one.
    std::string temp = store.TempPath();
    SimpleFileReader reader;
    reader.setFile(ustring(store.BlobPath(file_id)));
    reader.setSignature(ustring(temp), kBlockSize, kHashSize);
    if (reader.readFile() != FileReader::SUCCESS || rename(temp.c_str(), signature.c_str()) != 0) {
        TW_ERROR(kComponent, "cannot make the signature of blob %llu\n", static_cast<unsigned long long>(file_id));
        unlink(temp.c_str());
        return -1;
    }
    return 0;
}

int BuildPatch(const ContentStore& store, uint64_t base_id, uint64_t target_id, const std::string& out, uint64_t& size,
               int* abort_flag) {
    std::string signature;
    if (EnsureSignature(store, base_id, signature) != 0) return -1;
    SimpleFileReader reader;
    reader.setFile(ustring(store.BlobPath(target_id)));
    reader.setDelta(ustring(out), ustring(signature));
    reader.setAbortFlag(abort_flag);
    if (reader.readFile() != FileReader::SUCCESS || !FileSize(out, size)) {
        TW_ERROR(kComponent, "cannot make the patch from blob %llu to blob %llu\n",
                 static_cast<unsigned long long>(base_id), static_cast<unsigned long long>(target_id));
        unlink(out.c_str());
        return -1;
    }
    return 0;
}

int ApplyPatch(const std::string& basis, const std::string& patch, const std::string& out, std::string& hash,
               bool& complete) {
    ustring result;
    DeltaFileReader reader;
    reader.setFile(ustring(patch), ustring(basis));
    reader.setNewFile(ustring(out));
    reader.setHashString(result);
    int rc = reader.readFile();
    complete = rc == FileReader::SUCCESS && reader.isComplete();
    if (rc != FileReader::SUCCESS) {
        unlink(out.c_str());
        return -1;
    }
    hash = result.str();
    return 0;
}

}  // namespace tw_server
