// Channels work on sockets; standard input and output may be files or
// pipes. A bridge copies between a plain descriptor and one end of a socket
// pair on a thread of its own, and the other end goes to a Channel.
#pragma once

#include <atomic>
#include <thread>

class FdBridge {
public:
    enum Direction { kFromFd, kToFd };

    // Starts copying from `fd` into the socket pair (kFromFd) or from the
    // socket pair into `fd` (kToFd). socket() is the end for the Channel.
    FdBridge(int fd, Direction direction);
    ~FdBridge();
    FdBridge(const FdBridge&) = delete;
    FdBridge& operator=(const FdBridge&) = delete;

    bool ok() const { return channel_end_ >= 0; }
    // The end for a Channel; the caller owns it from now on.
    int TakeSocket();
    // Waits for the copy to end; false when reading or writing `fd` failed.
    bool Finish();

private:
    void Copy(int from, int to);

    int fd_;
    int channel_end_ = -1;
    int bridge_end_ = -1;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};
