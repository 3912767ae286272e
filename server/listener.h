// The listening socket and the connections it accepts, one thread each.
//
// Stopping (ServerContext::RequestStop): no new connection is taken;
// connections waiting for their next request are shut down at once; those
// in the middle of a request get a grace period to finish it, then they are
// shut down too (an interrupted upload keeps what it sent under its token;
// nothing is half-committed, since every commit is one transaction).
#pragma once

#include <list>
#include <memory>
#include <string>
#include <thread>

#include "server/connection.h"
#include "server/server_context.h"

namespace tw_server {

class Listener {
public:
    static constexpr size_t kMaxConnections = 256;
    static constexpr int kGraceSeconds = 10;

    explicit Listener(ServerContext& server) : server_(server) {}
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // 0, or -1 with `error`.
    int Bind(const std::string& host, int port, std::string& error);
    int port() const { return port_; }

    // Accepts until the server stops, then stops every connection.
    void Run();

private:
    struct Worker {
        std::unique_ptr<Connection> connection;
        std::thread thread;
    };
    void Reap();
    void StopConnections();

    ServerContext& server_;
    int fd_ = -1;
    int port_ = 0;
    std::list<Worker> workers_;  // touched only by the thread running Run
};

}  // namespace tw_server
