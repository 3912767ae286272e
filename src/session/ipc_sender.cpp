#include "session/ipc_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <thread>

#include "stream/pstream.h"

namespace {

constexpr size_t kBufferSize = 81920;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Closes `fd` keeping the errno that explains the failure.
int FailClosing(int fd, int error) {
    ::close(fd);
    errno = error;
    return -1;
}

bool FillUnixAddress(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

}  // namespace

IPCSender::IPCSender() : c(kBufferSize) {}

IPCSender::~IPCSender() {
    c.Close();
}

int IPCSender::connect(int port) {
    if (port <= 0 || port > 65535) return -1;
    if (c.Open("127.0.0.1", port) < 0 || c.IsClosed()) return -1;
    return 0;
}

int IPCSender::connect(const std::string& path) {
    sockaddr_un addr;
    if (!FillUnixAddress(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return assign(fd);
}

int IPCSender::connect(int port, int timeout_ms) {
    if (port <= 0 || port > 65535) return -1;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return FailClosing(fd, errno);
        // A listener whose accept queue is full drops the handshake, and the
        // kernel would retry it for minutes.
        for (;;) {
            pollfd p = {fd, POLLOUT, 0};
            const int n = poll(&p, 1, RemainingMs(deadline));
            if (n > 0) break;
            if (n == 0) return FailClosing(fd, ETIMEDOUT);
            if (errno != EINTR) return FailClosing(fd, errno);
        }
        int error = 0;
        socklen_t len = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
        if (error != 0) return FailClosing(fd, error);
    }
    return assign(fd);
}

int IPCSender::connect(const std::string& path, int timeout_ms) {
    sockaddr_un addr;
    if (!FillUnixAddress(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A local listener with a full backlog refuses a non-blocking connect
    // with EAGAIN rather than letting it wait, so it is tried again until
    // the deadline.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return FailClosing(fd, errno);
        if (RemainingMs(deadline) == 0) return FailClosing(fd, ETIMEDOUT);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, RemainingMs(deadline))));
    }
    return assign(fd);
}

void IPCSender::set_timeout(uint32_t seconds) {
    c.SetTimeout(seconds);
}

int IPCSender::assign(int fd) {
    if (c.Open(fd, true) < 0) {
        ::close(fd);
        return -1;
    }
    return 0;
}

void IPCSender::close() {
    c.Close();
}

int IPCSender::send(const PObject& msg, bool need_response, PObject& response) {
    if (send(msg) < 0) return -1;
    return need_response ? recv(response) : 0;
}

int IPCSender::send(const PObject& msg) {
    PStream stream;
    return stream.Send(c, msg) < 0 ? -1 : 0;
}

int IPCSender::recv(PObject& response) {
    PStream stream;
    return stream.Recv(c, response) < 0 ? -1 : 0;
}
