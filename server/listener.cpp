#include "server/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "base/logger.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";

}  // namespace

Listener::~Listener() {
    StopConnections();
    if (fd_ >= 0) close(fd_);
}

int Listener::Bind(const std::string& host, int port, std::string& error) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 128) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + strerror(errno);
        close(fd_);
        fd_ = -1;
        return -1;
    }
    port_ = ntohs(addr.sin_port);
    return 0;
}

void Listener::Reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->connection->finished()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void Listener::Run() {
    while (!server_.stopping()) {
        pollfd p{fd_, POLLIN, 0};
        int n = poll(&p, 1, 200);
        Reap();
        if (n <= 0) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                TW_WARNING(kComponent, "accept: %s\n", strerror(errno));
            }
            continue;
        }
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        std::string name = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        if (workers_.size() >= kMaxConnections) {
            TW_WARNING(kComponent, "%s: refused, %zu connections are open already\n", name.c_str(), workers_.size());
            close(fd);
            continue;
        }
        Worker worker;
        worker.connection = std::make_unique<Connection>(server_, fd, name);
        Connection* connection = worker.connection.get();
        worker.thread = std::thread([connection] { connection->Run(); });
        workers_.push_back(std::move(worker));
    }
    close(fd_);
    fd_ = -1;
    StopConnections();
}

void Listener::StopConnections() {
    if (workers_.empty()) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kGraceSeconds);
    bool cut_all = false;
    for (;;) {
        Reap();
        if (workers_.empty()) return;
        if (!cut_all && std::chrono::steady_clock::now() >= deadline) {
            TW_NOTE(kComponent, "%zu connections still busy after %d s; cutting them\n", workers_.size(),
                    kGraceSeconds);
            cut_all = true;
        }
        for (Worker& worker : workers_) {
            if (cut_all || worker.connection->idle()) worker.connection->Shutdown();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace tw_server
