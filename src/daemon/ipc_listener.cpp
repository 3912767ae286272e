#include "daemon/ipc_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/logger.h"

namespace {

const char* const kComponent = "ipc";
constexpr int kBacklog = 8;

sockaddr_in loopback(int port) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

int tcp_socket() {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    // Lets a restarted daemon take its port back while connections of the
    // previous run linger in TIME_WAIT; a port someone listens on stays taken.
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    return sock;
}

bool fill_unix_address(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path) || path.find('\0') != std::string::npos) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// Whether something accepts connections on the socket file `path`.
bool socket_is_live(const sockaddr_un& addr) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return true;
    int rc = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    int err = errno;
    ::close(probe);
    return rc == 0 || (err != ECONNREFUSED && err != ENOENT);
}

}  // namespace

IPCListener::IPCListener() {
    timeout.tv_sec = 3;
    timeout.tv_usec = 0;
}

IPCListener::~IPCListener() {
    close();
}

int IPCListener::prepare(int port) {
    close();
    int sock = tcp_socket();
    if (sock < 0) {
        TW_ERROR(kComponent, "%s: Error Code: %d\n", "socket", errno);
        return -1;
    }
    int bound = do_bind(sock, port);
    if (bound < 0) {
        TW_ERROR(kComponent, "find available port failed.\n");
        CloseSocket(sock);
        return -1;
    }
    if (listen(sock, kBacklog) != 0) {
        TW_ERROR(kComponent, "%s: Error Code: %d\n", "listen", errno);
        CloseSocket(sock);
        return -1;
    }
    TW_INFO(kComponent, "listening on port %d\n", bound);
    fd = sock;
    return bound;
}

int IPCListener::prepare(const std::string& path) {
    close();
    int sock = OpenDomainSocket(path);
    if (sock < 0) return -1;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        socket_dev = st.st_dev;
        socket_ino = st.st_ino;
    }
    fd = sock;
    socket_path = path;
    return 0;
}

int IPCListener::do_bind(int sock, int port) {
    // Port 0 would bind an arbitrary port; the search starts at 1.
    for (int p = port < 1 ? 1 : port;; ++p) {
        TW_INFO(kComponent, "Try to bind port: %d\n", p);
        if (p > 65535) {
            TW_ERROR(kComponent, "Port number exceeds 65536\n");
            return -1;
        }
        sockaddr_in addr = loopback(p);
        if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            TW_INFO(kComponent, "Bind port %d success\n", p);
            return p;
        }
        TW_ERROR(kComponent, "%s: Error Code: %d\n", "bind", errno);
        TW_INFO(kComponent, "Bind port %d failed, try next one\n", p);
    }
}

bool IPCListener::isReady() {
    if (fd == -1) return false;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    int count = wake_fd >= 0 ? 2 : 1;
    int ms = static_cast<int>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
    int rc = poll(fds, count, ms);
    if (rc <= 0) return false;
    if (count == 2 && (fds[1].revents & POLLIN)) return false;
    return (fds[0].revents & POLLIN) != 0;
}

int IPCListener::accept() {
    if (fd == -1) return -1;
    return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

void IPCListener::close() {
    if (fd == -1) return;
    if (socket_path.empty()) {
        CloseSocket(fd);
    } else {
        CloseDomainSocket(fd);
        // Remove the socket file only while it is still the one we bound.
        struct stat st;
        if (lstat(socket_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == socket_dev &&
            st.st_ino == socket_ino)
            unlink(socket_path.c_str());
    }
    fd = -1;
    socket_path.clear();
}

int IPCListener::CloseSocket(int sock) {
    if (sock == -1) return -1;
    shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return 0;
}

int IPCListener::OpenSocket(int port) {
    if (port <= 0) return -1;
    int sock = tcp_socket();
    if (sock < 0) {
        TW_ERROR(kComponent, "%s: Error Code: %d\n", "socket", errno);
        return -1;
    }
    sockaddr_in addr = loopback(port);
    if (port > 65535 || bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        TW_ERROR(kComponent, "%s: Error Code: %d\n", "bind", errno);
        CloseSocket(sock);
        return -1;
    }
    if (listen(sock, kBacklog) != 0) {
        TW_ERROR(kComponent, "%s: Error Code: %d\n", "listen", errno);
        CloseSocket(sock);
        return -1;
    }
    TW_DEBUG(kComponent, "listening on port %d\n", port);
    return sock;
}

int IPCListener::OpenDomainSocket(const std::string& path) {
    sockaddr_un addr;
    if (!fill_unix_address(path, addr)) {
        TW_ERROR(kComponent, "socket path '%s' is empty or longer than %zu bytes\n", path.c_str(),
                 sizeof(addr.sun_path) - 1);
        return -1;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            TW_ERROR(kComponent, "'%s' exists and is not a socket; not replaced\n", path.c_str());
            return -1;
        }
        if (socket_is_live(addr)) {
            TW_ERROR(kComponent, "another process listens on '%s'\n", path.c_str());
            return -1;
        }
        if (unlink(path.c_str()) != 0) {
            TW_ERROR(kComponent, "%s: Error Code: %d\n", "unlink", errno);
            return -1;
        }
        TW_INFO(kComponent, "stale socket '%s' replaced\n", path.c_str());
    }
    // The socket is bound in a private folder (mode 0700) beside its final
    // place, made owner-only there, where nobody else can reach it, and then
    // moved into place. The process-wide umask is never touched: other
    // threads create files meanwhile.
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string private_dir = parent + "/.XXXXXX";
    std::string inner;
    sockaddr_un inner_addr;
    if (!fill_unix_address(private_dir + "/s", inner_addr)) {
        TW_ERROR(kComponent, "socket path '%s' is too long to be made safely (its folder may have at most %zu bytes)\n",
                 path.c_str(), sizeof(inner_addr.sun_path) - 11);
        return -1;
    }
    if (!mkdtemp(private_dir.data())) {
        TW_ERROR(kComponent, "%s: Error Code: %d\n", "mkdtemp", errno);
        return -1;
    }
    inner = private_dir + "/s";
    fill_unix_address(inner, inner_addr);
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const char* failed = nullptr;
    if (sock < 0)
        failed = "socket";
    else if (bind(sock, reinterpret_cast<sockaddr*>(&inner_addr), sizeof(inner_addr)) != 0)
        failed = "bind";
    else if (chmod(inner.c_str(), 0600) != 0)
        failed = "chmod";
    else if (listen(sock, kBacklog) != 0)
        failed = "listen";
    else if (renameat2(AT_FDCWD, inner.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
        // A file system without the no-replace flag: a hard link refuses an
        // existing target just the same.
        if ((errno != EINVAL && errno != ENOSYS) || link(inner.c_str(), path.c_str()) != 0) failed = "rename";
    }
    int err = errno;
    unlink(inner.c_str());
    rmdir(private_dir.c_str());
    if (failed) {
        TW_ERROR(kComponent, "%s: Error Code: %d\n", failed, err);
        if (sock >= 0) ::close(sock);
        return -1;
    }
    TW_DEBUG(kComponent, "listening on socket %s\n", path.c_str());
    return sock;
}

int IPCListener::CloseDomainSocket(int sock) {
    if (sock == -1) return -1;
    ::close(sock);
    return 0;
}
