#include "daemon/request_watchdog.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/abort_flag.h"

RequestWatchdog::RequestWatchdog(int stop_fd) : m_stop_fd(stop_fd) {}

RequestWatchdog::~RequestWatchdog() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_quit = true;
        m_flag = nullptr;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
    for (int fd : m_wake)
        if (fd >= 0) close(fd);
}

int RequestWatchdog::Start() {
    if (m_thread.joinable()) return 0;
    if (m_wake[0] < 0 && pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wake[0] = m_wake[1] = -1;
        return -1;
    }
    try {
        m_thread = std::thread(&RequestWatchdog::Watch, this);
    } catch (const std::system_error&) {
        return -1;
    }
    return 0;
}

void RequestWatchdog::Wake() {
    if (m_wake[1] < 0) return;
    char byte = 1;
    ssize_t ignored = write(m_wake[1], &byte, 1);  // a full pipe wakes the thread as well
    (void)ignored;
}

void RequestWatchdog::Arm(int* flag, Clock::duration limit) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_flag = flag;
        m_deadline = Clock::now() + limit;
        if (m_stop_seen) {
            SetAbortFlag(m_flag);
            m_flag = nullptr;
        }
    }
    Wake();
}

void RequestWatchdog::Disarm() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_flag = nullptr;
}

void RequestWatchdog::Watch() {
    for (;;) {
        int timeout_ms = -1;
        bool watch_stop = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_quit) return;
            if (m_flag) {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
                timeout_ms = left < 0 ? 0 : (left > 60000 ? 60000 : static_cast<int>(left));
            }
            // Once seen, the stop descriptor stays readable: it is not
            // watched again (every later Arm acts on it at once).
            watch_stop = m_stop_fd >= 0 && !m_stop_seen;
        }
        pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {m_stop_fd, POLLIN, 0}};
        int rc = poll(fds, watch_stop ? 2 : 1, timeout_ms);
        if (rc < 0 && errno != EINTR) return;
        if (rc > 0 && (fds[0].revents & POLLIN)) {
            char buf[64];
            while (read(m_wake[0], buf, sizeof buf) > 0) {
            }
        }
        bool stop = rc > 0 && watch_stop && (fds[1].revents & (POLLIN | POLLHUP | POLLERR));
        std::lock_guard<std::mutex> guard(m_lock);
        if (stop) m_stop_seen = true;
        if (m_flag && (m_stop_seen || Clock::now() >= m_deadline)) {
            SetAbortFlag(m_flag);
            m_flag = nullptr;
        }
    }
}
