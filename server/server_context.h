// What every connection of a running server shares: the options, the
// views, the session tokens, fault injection, the keep-alive scheduler and
// the stop signal.
//
// Layout of the root folder:
//   server.lock        held (flock) by the running server
//   log-levels         log thresholds per component, made on first start
//   faults             the default fault file (see fault_rules.h)
//   incoming/          bodies being received before their view is known
//   views/<id>/        one view: index.sqlite and its files (content_store.h)
//
// Thread safety: the views and tokens are fixed after Open; View, the fault
// injector and the scheduler carry their own locks; the stop signal is an
// atomic flag with a condition for sleepers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "server/fault_rules.h"
#include "server/keepalive.h"
#include "server/server_options.h"
#include "server/view.h"

namespace tw_server {

class ServerContext {
public:
    explicit ServerContext(const ServerOptions& options);
    ~ServerContext();
    ServerContext(const ServerContext&) = delete;
    ServerContext& operator=(const ServerContext&) = delete;

    // Takes the root (refusing one that another server holds), checks the
    // TLS files, opens every view. 0, or -1 with `error`.
    int Open(std::string& error);

    const ServerOptions& options() const { return options_; }
    View* FindView(uint64_t id) const;
    bool KnownSession(const std::string& token) const { return tokens_.count(token) != 0; }
    bool tls_available() const { return !options_.tls_cert.empty(); }
    FaultInjector& faults() { return faults_; }
    KeepAliveScheduler& keepalive() { return *keepalive_; }

    // A fresh name in incoming/ (not created).
    std::string IncomingPath();

    void RequestStop();
    bool stopping() const { return stopping_.load(); }
    // Sleeps until `deadline` or a stop; false when stopped.
    bool SleepUntil(std::chrono::steady_clock::time_point deadline);

private:
    const ServerOptions options_;
    std::set<std::string> tokens_;
    std::map<uint64_t, std::unique_ptr<View>> views_;
    FaultInjector faults_;
    std::unique_ptr<KeepAliveScheduler> keepalive_;
    int lock_fd_ = -1;
    std::atomic<uint64_t> incoming_counter_{0};

    std::atomic<bool> stopping_{false};
    std::mutex stop_lock_;  // guards nothing but the wait on stop_cond_
    std::condition_variable stop_cond_;
};

}  // namespace tw_server
