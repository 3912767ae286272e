#include "fd_bridge.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

FdBridge::FdBridge(int fd, Direction direction) : fd_(fd) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    channel_end_ = pair[0];
    bridge_end_ = pair[1];
    if (direction == kFromFd) {
        thread_ = std::thread([this] { Copy(fd_, bridge_end_); });
    } else {
        thread_ = std::thread([this] { Copy(bridge_end_, fd_); });
    }
}

FdBridge::~FdBridge() {
    Finish();
    if (channel_end_ >= 0) close(channel_end_);
}

int FdBridge::TakeSocket() {
    int s = channel_end_;
    channel_end_ = -1;
    return s;
}

bool FdBridge::Finish() {
    if (thread_.joinable()) thread_.join();
    return !failed_;
}

void FdBridge::Copy(int from, int to) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed_ = true;
        if (n <= 0) break;
        ssize_t done = 0;
        while (done < n) {
            ssize_t w =
                to == bridge_end_ ? send(to, buf + done, n - done, MSG_NOSIGNAL) : write(to, buf + done, n - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                // The other side is gone: a Channel that stopped reading
                // after an error, or an output that cannot take more.
                if (to != bridge_end_) failed_ = true;
                n = -1;
                break;
            }
            done += w;
        }
        if (n < 0) break;
    }
    // Closing the bridge end tells the Channel that the input has ended, or
    // lets the output copy see the end of what the Channel sent.
    close(bridge_end_);
    bridge_end_ = -1;
}
