#include "server/content_store.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/logger.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";

std::atomic<uint64_t> g_temp_counter{0};

}  // namespace

int SyncPath(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int rc = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return rc;
}

bool FileSize(const std::string& path, uint64_t& size) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

int ContentStore::Open(std::string& error) {
    std::error_code ec;
    for (const char* sub : {"content", "signatures", "uploads", "payloads", "tmp"}) {
        std::filesystem::create_directories(dir_ + "/" + sub, ec);
        if (ec) {
            error = "cannot create " + dir_ + "/" + sub + ": " + ec.message();
            return -1;
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/tmp", ec)) {
        std::filesystem::remove_all(entry.path(), ec);
    }
    return 0;
}

std::string ContentStore::BlobPath(uint64_t file_id) const {
    return dir_ + "/content/" + std::to_string(file_id);
}

std::string ContentStore::SignaturePath(uint64_t file_id) const {
    return dir_ + "/signatures/" + std::to_string(file_id);
}

std::string ContentStore::UploadPath(const std::string& token) const {
    return dir_ + "/uploads/" + token;
}

std::string ContentStore::PayloadPath(const std::string& token) const {
    return dir_ + "/payloads/" + token;
}

std::string ContentStore::TempPath() const {
    return dir_ + "/tmp/" + std::to_string(getpid()) + "-" + std::to_string(++g_temp_counter);
}

int ContentStore::Flush(const std::string& path) const {
    return durable_ ? SyncPath(path) : 0;
}

int ContentStore::FlushFolder(const std::string& folder) const {
    return durable_ ? SyncPath(folder) : 0;
}

int ContentStore::Install(const std::string& from, uint64_t file_id) const {
    std::string to = BlobPath(file_id);
    if (rename(from.c_str(), to.c_str()) != 0) {
        int err = errno;
        TW_ERROR(kComponent, "cannot install %s as %s: %s\n", from.c_str(), to.c_str(), strerror(err));
        return err;
    }
    int err = FlushFolder(dir_ + "/content");
    if (err != 0) {
        TW_ERROR(kComponent, "cannot flush %s/content: %s\n", dir_.c_str(), strerror(err));
        // Not named by the index yet: take it back out.
        unlink(to.c_str());
        return err;
    }
    return 0;
}

void ContentStore::RemoveBlob(uint64_t file_id) const {
    unlink(BlobPath(file_id).c_str());
    unlink(SignaturePath(file_id).c_str());
}

void ContentStore::RemoveOrphans(const std::set<uint64_t>& known) const {
    std::error_code ec;
    for (const char* sub : {"content", "signatures"}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/" + sub, ec)) {
            std::string name = entry.path().filename().string();
            char* end = nullptr;
            uint64_t id = std::strtoull(name.c_str(), &end, 10);
            if (end == name.c_str() || *end != '\0' || known.count(id) == 0) {
                TW_INFO(kComponent, "removing orphan %s\n", entry.path().c_str());
                std::filesystem::remove_all(entry.path(), ec);
            }
        }
    }
}

}  // namespace tw_server
