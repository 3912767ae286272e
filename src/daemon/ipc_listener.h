// The listening end of the control socket: TCP on 127.0.0.1 from a given
// port upward, or a local-domain socket readable and writable only by its
// owner.
#pragma once

#include <sys/time.h>
#include <sys/types.h>
#include <string>

class IPCListener {
public:
    IPCListener();
    ~IPCListener();
    IPCListener(const IPCListener&) = delete;
    IPCListener& operator=(const IPCListener&) = delete;

    // Listens on 127.0.0.1 at the first free port from `port` upward; the
    // bound port, or -1 (nothing left open).
    int prepare(int port);
    // Listens on the local-domain socket `path` (mode 0600): 0 or -1.
    int prepare(const std::string& path);
    // Binds `sock` to 127.0.0.1 at the first free port from `port` upward.
    int do_bind(int sock, int port);
    // Waits up to the timeout for a pending connection. Also returns (false)
    // as soon as the wake-up descriptor, when set, becomes readable.
    bool isReady();
    // The accepted socket, or -1.
    int accept();
    void close();
    void setTimeout(timeval t) { timeout = t; }
    void setWakeFd(int wake) { wake_fd = wake; }
    int getFd() const { return fd; }
    const std::string& getSocketPath() const { return socket_path; }

    static int CloseSocket(int sock);
    // A listener on 127.0.0.1 at exactly `port`, or -1.
    static int OpenSocket(int port);
    // A listener on the local-domain socket `path`, mode 0600 from the
    // moment anyone can reach it: it is bound in a private folder (0700)
    // beside `path`, made owner-only and listening there, then moved into
    // place, so the process umask is never changed. A stale socket file
    // there (nobody accepts on it) is replaced; anything else at that path,
    // or a live socket, is left alone and -1 returned.
    static int OpenDomainSocket(const std::string& path);
    // Closes `sock`; the socket file is removed by close().
    static int CloseDomainSocket(int sock);

private:
    timeval timeout;
    int fd = -1;
    std::string socket_path;
    int wake_fd = -1;
    dev_t socket_dev = 0;
    ino_t socket_ino = 0;
};
