// Runs tidewell-daemon as a real process against a test UI: a loopback
// listener that receives the port hand-back and the notifications.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "daemon/ipc_listener.h"
#include "session/ipc_sender.h"
#include "net/channel.h"
#include "support/temp_dir.h"
#include "value/pobject.h"
#include "stream/pstream.h"

namespace tidewell::e2e {

inline const std::string kBin = TIDEWELL_BINARY_DIR "/bin";

// A listening loopback socket on a port the kernel picked, or -1.
inline int listen_any(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

inline bool port_free(int port) {
    int fd = IPCListener::OpenSocket(port);
    if (fd < 0) return false;
    IPCListener::CloseSocket(fd);
    return true;
}

// The test UI: listens on ui_port, where the daemon hands back its port and
// sends its notifications.
class TestUI {
public:
    // Picks a port whose next `spare` ports are free too.
    explicit TestUI(int spare = 1) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            fd = listen_any(port);
            bool ok = fd >= 0 && port + spare <= 65535;
            for (int i = 1; ok && i <= spare; ++i) ok = port_free(port + i);
            if (ok) return;
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    ~TestUI() {
        if (fd >= 0) close(fd);
    }
    // Accepts one connection and reads one value from it.
    bool receive(PObject& msg, int timeout_ms = 10000) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return false;
        int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        Channel ch;
        if (ch.Open(c, true) != 0) return false;
        PStream stream;
        return stream.Recv(ch, msg) == 0;
    }
    bool pending(int timeout_ms) {
        pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, timeout_ms) == 1;
    }

    int fd = -1;
    int port = 0;
};

// A free ui_port whose next port is free as well.
inline int free_ui_port() {
    TestUI probe(1);
    return probe.port;
}

// A configuration in a fresh folder: logs, pid file and databases inside it,
// the shipped system filter.
class DaemonConfig {
public:
    explicit DaemonConfig(int ui_port) {
        values["pid_file_path"] = dir.file("daemon.pid");
        values["log_file_path"] = dir.file("daemon.log");
        values["log_level_file_path"] = dir.file("levels");
        values["fstat_db_path"] = dir.file("fstat.sqlite");
        values["filter_db_path"] = dir.file("filter.sqlite");
        values["system_filter_path"] = kBin + "/system.filter";
        values["ui_port"] = std::to_string(ui_port);
        dir.write("levels", "client_debug = 7\nipc = 6\n");
    }
    std::string write() {
        std::string text;
        for (auto& [key, value] : values) text += key + " = \"" + value + "\"\n";
        return dir.write("tidewell.conf", text);
    }
    std::string log() const { return testing::TempDir::read(dir.file("daemon.log")); }

    testing::TempDir dir;
    std::map<std::string, std::string> values;
};

// One tidewell-daemon process; killed at the end of the test if still alive.
class DaemonProcess {
public:
    bool start(const std::string& config, const std::string& program = kBin + "/tidewell-daemon") {
        pid = fork();
        if (pid == 0) {
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDOUT_FILENO);
            execl(program.c_str(), program.c_str(), config.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid > 0;
    }
    // The exit status, or -1000 when it did not exit within the time.
    int wait_exit(int timeout_ms = 15000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1000;
    }
    ~DaemonProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    pid_t pid = -1;
};

inline int connect_tcp(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int connect_unix(const std::string& path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

enum class Reply { kReplied, kClosed, kNoConnection };

// One request on a fresh connection to the daemon.
inline Reply request_on(int fd, const PObject& msg, PObject& reply) {
    if (fd < 0) return Reply::kNoConnection;
    IPCSender sender;
    if (sender.assign(fd) != 0 || sender.send(msg) != 0) return Reply::kNoConnection;
    return sender.recv(reply) == 0 ? Reply::kReplied : Reply::kClosed;
}

inline PObject action(const char* name) {
    PObject msg;
    msg["action"] = name;
    return msg;
}

inline PObject ack_only() {
    PObject reply;
    reply["ack"] = "ok";
    return reply;
}

}  // namespace tidewell::e2e
