// A TCP server on 127.0.0.1 with a kernel-chosen port that serves every
// connection on a thread of its own with a handler given by the test, and
// small blocking helpers for such handlers. Stopping it (or destroying it)
// shuts every live connection down, so that handlers blocked in a read
// return, and joins all threads. SIGPIPE is blocked on its threads.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tidewell::testing {

class LoopbackServer {
public:
    // Runs on the connection's own thread; the server closes `fd` after it
    // returns.
    using Handler = std::function<void(int fd)>;

    explicit LoopbackServer(Handler handler);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    // Connections accepted so far.
    int accepted() const { return accepted_.load(); }
    // Waits (bounded) until at least `n` connections were accepted.
    bool WaitAccepted(int n, int timeout_ms = 20000) const;
    void Stop();

private:
    void AcceptLoop();
    void Serve(int fd);

    Handler handler_;
    int listen_fd_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::mutex mu_;  // guards live_, workers_, stopping_
    std::vector<int> live_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

// Polls `done` every 10 ms until it holds or `timeout_ms` have passed;
// whether it held.
bool WaitFor(const std::function<bool()>& done, int timeout_ms = 20000);

// A blocking connection to 127.0.0.1:`port`, or -1.
int ConnectLoopback(int port);

// Sends everything (MSG_NOSIGNAL); false when the peer has gone.
bool SendAll(int fd, std::string_view data);

// Reads up to and including the blank line that ends an HTTP head, never
// past it. False on end of stream, error, more than 64 KiB, or no progress
// for `timeout_ms`.
bool ReadHttpHead(int fd, std::string& head, int timeout_ms = 30000);

// The value of header `name` (case ignored) in an HTTP head, or "".
std::string HttpHeaderValue(const std::string& head, std::string_view name);

// Forwards bytes both ways between two connected sockets until either side
// closes or fails.
void PipeBoth(int a, int b);

// Reads until the peer closes (or the server stops).
void DrainUntilClosed(int fd);

// A plain TCP echo server: sends back every byte it receives.
class EchoServer {
public:
    EchoServer();
    int port() const { return server_.port(); }
    int accepted() const { return server_.accepted(); }

private:
    LoopbackServer server_;
};

}  // namespace tidewell::testing
