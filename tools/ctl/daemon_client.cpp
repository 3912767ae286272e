#include "daemon_client.h"

#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json_convert.h"
#include "session/ipc_sender.h"

namespace ctl {

namespace {

constexpr int kStopTimeoutSeconds = 60;

}  // namespace

void fail(const std::string& text) {
    std::fprintf(stderr, "tidewell-ctl: %s\n", text.c_str());
}

std::string absolute(const std::string& path) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf)) return buf;
    return path;
}

std::string state_path(const std::string& config) {
    return absolute(config) + ".state";
}

bool write_state(const std::string& path, const State& s) {
    Json j = Json::object();
    j["daemon_pid"] = s.daemon_pid;
    j["ctl_pid"] = s.ctl_pid;
    if (s.socket_path.empty())
        j["daemon_port"] = s.daemon_port;
    else
        j["socket_path"] = s.socket_path;
    std::string tmp = path + ".tmp";
    FILE* fp = std::fopen(tmp.c_str(), "w");
    if (!fp) return false;
    std::string text = j.dump() + "\n";
    bool ok = std::fwrite(text.data(), 1, text.size(), fp) == text.size();
    ok = std::fclose(fp) == 0 && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

int read_file(const std::string& path, std::string& text) {
    FILE* fp = std::fopen(path.c_str(), "r");
    if (!fp) return errno == ENOENT ? 0 : -1;
    text.clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) text.append(buf, n);
    bool failed = std::ferror(fp) != 0;
    std::fclose(fp);
    return failed ? -1 : 1;
}

int read_state(const std::string& path, State& s) {
    std::string text;
    int rc = read_file(path, text);
    if (rc <= 0) return rc;
    Json j = Json::parse(text, nullptr, false);
    if (!j.is_object()) return -1;
    s.daemon_pid = j.value("daemon_pid", 0L);
    s.ctl_pid = j.value("ctl_pid", 0L);
    s.daemon_port = j.value("daemon_port", 0);
    s.socket_path = j.value("socket_path", std::string());
    return 1;
}

bool process_alive(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

int connect_daemon(const State& s, std::string& error) {
    if (!s.socket_path.empty()) {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        if (s.socket_path.size() >= sizeof(addr.sun_path)) {
            error = "socket path too long: " + s.socket_path;
            return -1;
        }
        std::memcpy(addr.sun_path, s.socket_path.data(), s.socket_path.size());
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            error = "cannot connect to " + s.socket_path + ": " + std::strerror(errno);
            if (fd >= 0) close(fd);
            return -1;
        }
        return fd;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(s.daemon_port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = "cannot connect to 127.0.0.1:" + std::to_string(s.daemon_port) + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

int find_daemon(const std::string& config, State& s) {
    std::string path = state_path(config);
    int rc = read_state(path, s);
    if (rc == 0) {
        fail("no daemon is running for " + config + " (no state file " + path +
             "; start one with: tidewell-ctl start --config " + config + ")");
        return 1;
    }
    if (rc < 0) {
        fail("cannot read the state file " + path);
        return 1;
    }
    if (!process_alive(s.daemon_pid)) {
        fail("no daemon is running for " + config + " (pid " + std::to_string(s.daemon_pid) +
             " is gone; stale state file " + path + " removed)");
        unlink(path.c_str());
        return 1;
    }
    return 0;
}

int request(const State& s, const std::string& config, const PObject& msg, PObject& reply) {
    std::string error;
    int fd = connect_daemon(s, error);
    if (fd < 0) {
        fail("no daemon is running for " + config + " (" + error + ")");
        return -1;
    }
    IPCSender sender;
    if (sender.assign(fd) < 0 || sender.send(msg) < 0) {
        fail("failed to send the request to the daemon");
        return -1;
    }
    if (sender.recv(reply) < 0) return 1;
    return 0;
}

bool wait_until_stopped(const std::string& config, const State& s) {
    std::string path = state_path(config);
    for (int i = 0; i < kStopTimeoutSeconds * 10; ++i) {
        if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
        if (!process_alive(s.daemon_pid)) {
            // Its "start" is gone too: nobody else will remove the record.
            if (!process_alive(s.ctl_pid)) unlink(path.c_str());
            return true;
        }
        usleep(100 * 1000);
    }
    return false;
}

int call(const std::string& config, const PObject& msg, PObject& reply) {
    State s;
    if (find_daemon(config, s) != 0) return 1;
    int rc = request(s, config, msg, reply);
    if (rc < 0) return 1;
    if (rc == 1) {
        fail("the daemon closed the connection without a reply");
        return 1;
    }
    return 0;
}

}  // namespace ctl
