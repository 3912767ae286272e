#include "server/server_context.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "base/logger.h"
#include "net/channel.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";

// Loads the certificate chain and key into a throw-away context, so that a
// wrong file is reported at start and not at the first TLS client.
bool CheckTlsFiles(const std::string& cert, const std::string& key, std::string& error) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    bool ok = ctx != nullptr && SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) == 1 &&
              SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) == 1 &&
              SSL_CTX_check_private_key(ctx) == 1;
    if (ctx) SSL_CTX_free(ctx);
    if (!ok) error = "cannot use the TLS certificate " + cert + " with the key " + key;
    return ok;
}

}  // namespace

ServerContext::ServerContext(const ServerOptions& options)
    : options_(options), tokens_(options.tokens.begin(), options.tokens.end()), faults_(options.fault_file) {}

ServerContext::~ServerContext() {
    keepalive_.reset();
    views_.clear();
    if (lock_fd_ >= 0) close(lock_fd_);
}

int ServerContext::Open(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(options_.root + "/incoming", ec);
    if (ec) {
        error = "cannot create " + options_.root + ": " + ec.message();
        return -1;
    }
    lock_fd_ = open((options_.root + "/server.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ < 0 || flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        error = "the root " + options_.root + " is in use by another tidewell-server";
        return -1;
    }
    for (const auto& entry : std::filesystem::directory_iterator(options_.root + "/incoming", ec)) {
        std::filesystem::remove_all(entry.path(), ec);
    }
    if (tls_available()) {
        if (!CheckTlsFiles(options_.tls_cert, options_.tls_key, error)) return -1;
        Channel::SetCERTPath(options_.tls_cert);
        Channel::SetPriKeyPath(options_.tls_key);
    }
    for (const ViewDeclaration& declared : options_.views) {
        ViewConfig config;
        config.read_only = declared.read_only;
        config.durable = options_.fsync;
        config.keep_versions = options_.keep_versions;
        auto view =
            std::make_unique<View>(declared.id, options_.root + "/views/" + std::to_string(declared.id), config);
        if (view->Open(error) != 0) return -1;
        view->PruneTokens(kTokenMaxAge);
        views_[declared.id] = std::move(view);
    }
    faults_.Reload();
    keepalive_ = std::make_unique<KeepAliveScheduler>(options_.keepalive_seconds);
    return 0;
}

View* ServerContext::FindView(uint64_t id) const {
    auto it = views_.find(id);
    return it == views_.end() ? nullptr : it->second.get();
}

std::string ServerContext::IncomingPath() {
    return options_.root + "/incoming/" + std::to_string(++incoming_counter_);
}

void ServerContext::RequestStop() {
    {
        std::lock_guard<std::mutex> guard(stop_lock_);
        stopping_.store(true);
    }
    stop_cond_.notify_all();
    TW_NOTE(kComponent, "stopping\n");
}

bool ServerContext::SleepUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(stop_lock_);
    return !stop_cond_.wait_until(lock, deadline, [this] { return stopping_.load(); });
}

}  // namespace tw_server
