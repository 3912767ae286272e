#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tidewell::testing {

namespace {

void BlockSigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 16) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        abort();
    }
    socklen_t len = sizeof addr;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread(&LoopbackServer::AcceptLoop, this);
}

LoopbackServer::~LoopbackServer() {
    Stop();
    close(listen_fd_);
    close(wake_[0]);
    close(wake_[1]);
}

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool LoopbackServer::WaitAccepted(int n, int timeout_ms) const {
    return WaitFor([&] { return accepted_.load() >= n; }, timeout_ms);
}

void LoopbackServer::Stop() {
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (stopping_) return;
        stopping_ = true;
    }
    char c = 0;
    (void)!write(wake_[1], &c, 1);
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> guard(mu_);
        for (int fd : live_) shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
}

void LoopbackServer::AcceptLoop() {
    BlockSigpipe();
    for (;;) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> guard(mu_);
        if (stopping_) {
            close(fd);
            return;
        }
        live_.push_back(fd);
        accepted_.fetch_add(1);
        workers_.emplace_back(&LoopbackServer::Serve, this, fd);
    }
}

void LoopbackServer::Serve(int fd) {
    BlockSigpipe();
    handler_(fd);
    std::lock_guard<std::mutex> guard(mu_);
    for (size_t i = 0; i < live_.size(); ++i) {
        if (live_[i] == fd) {
            live_.erase(live_.begin() + static_cast<long>(i));
            break;
        }
    }
    close(fd);
}

int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool ReadHttpHead(int fd, std::string& head, int timeout_ms) {
    head.clear();
    while (head.size() < 65536) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char c;
        ssize_t n = recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        head.push_back(c);
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) return true;
    }
    return false;
}

std::string HttpHeaderValue(const std::string& head, std::string_view name) {
    size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
        size_t start = at + 2;
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos) break;
        std::string_view line(head.data() + start, end - start);
        if (line.size() > name.size() && line[name.size()] == ':') {
            bool same = true;
            for (size_t i = 0; i < name.size() && same; ++i) same = Lower(line[i]) == Lower(name[i]);
            if (same) {
                std::string_view value = line.substr(name.size() + 1);
                while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
                return std::string(value);
            }
        }
        at = end;
    }
    return "";
}

void PipeBoth(int a, int b) {
    char buf[16384];
    for (;;) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (!p[i].revents) continue;
            ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
            if (n <= 0 || !SendAll(p[1 - i].fd, std::string_view(buf, static_cast<size_t>(n)))) return;
        }
    }
}

void DrainUntilClosed(int fd) {
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
    }
}

EchoServer::EchoServer()
    : server_([](int fd) {
          char buf[16384];
          for (;;) {
              ssize_t n = recv(fd, buf, sizeof buf, 0);
              if (n < 0 && errno == EINTR) continue;
              if (n <= 0 || !SendAll(fd, std::string_view(buf, static_cast<size_t>(n)))) return;
          }
      }) {}

}  // namespace tidewell::testing
