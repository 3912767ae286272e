#include "support/squid_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "support/loopback_server.h"

namespace tidewell::testing {

namespace {

const char* const kSquid = "/usr/sbin/squid";
const char* const kBasicHelper = "/usr/lib/squid/basic_ncsa_auth";
const char* const kNtlmHelper = "/usr/lib/squid/ntlm_fake_auth";

bool Executable(const char* path) {
    return access(path, X_OK) == 0;
}

// A port that was free a moment ago.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

// `openssl passwd -apr1` of `password`, or "".
std::string Apr1Hash(const std::string& password) {
    std::string command = "openssl passwd -apr1 '" + password + "'";
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return "";
    char line[256] = {};
    bool got = fgets(line, sizeof line, out) != nullptr;
    if (pclose(out) != 0 || !got) return "";
    std::string hash(line);
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    return hash;
}

std::atomic<int> g_instance{0};

}  // namespace

bool SquidProxy::Available(const SquidOptions& options, std::string* why) {
    std::string missing;
    if (!Executable(kSquid)) missing += std::string(" ") + kSquid;
    if (options.basic && !Executable(kBasicHelper)) missing += std::string(" ") + kBasicHelper;
    if (options.ntlm && !Executable(kNtlmHelper)) missing += std::string(" ") + kNtlmHelper;
    if (missing.empty()) return true;
    if (why) *why = "squid is not installed (missing:" + missing + "); install the Debian package squid";
    return false;
}

SquidProxy::SquidProxy(const SquidOptions& options) {
    // Squid drops root for the "proxy" user, which must reach the folder.
    chmod(dir_.path().c_str(), 0777);
    // The port is chosen free but only taken by squid later; should another
    // process take it meanwhile, squid fails to bind and exits: try again.
    for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
        if (Start(options)) return;
    }
}

SquidProxy::~SquidProxy() {
    Stop();
}

bool SquidProxy::Start(const SquidOptions& options) {
    port_ = FreePort();
    if (port_ <= 0) {
        error_ = "no free port";
        return false;
    }
    std::string d = dir_.path().string();
    std::string conf = "http_port 127.0.0.1:" + std::to_string(port_) + "\n";
    conf += "pid_filename " + d + "/squid.pid\n";
    conf += "logformat tidewell %ts %Ss/%03>Hs %rm %ru user=%un auth=%{Proxy-Authorization}>h\n";
    conf += "access_log stdio:" + d + "/access.log tidewell\n";
    conf += "cache_log " + d + "/cache.log\n";
    conf +=
        "cache_store_log none\n"
        "cache deny all\n"
        "cache_mem 1 MB\n"
        "icp_port 0\n"
        "htcp_port 0\n"
        "pinger_enable off\n"
        "netdb_filename none\n"
        "shutdown_lifetime 0 seconds\n";
    conf += "coredump_dir " + d + "\n";
    if (options.basic) {
        std::string htpasswd;
        for (const auto& [user, password] : options.users) {
            std::string hash = Apr1Hash(password);
            if (hash.empty()) {
                error_ = "openssl passwd -apr1 failed";
                return false;
            }
            htpasswd += user + ":" + hash + "\n";
        }
        std::string file = dir_.write("htpasswd", htpasswd);
        chmod(file.c_str(), 0644);
        conf += std::string("auth_param basic program ") + kBasicHelper + " " + file + "\n";
        conf += "auth_param basic children 2\nauth_param basic realm tidewell\n";
    }
    if (options.ntlm) {
        conf += std::string("auth_param ntlm program ") + kNtlmHelper + "\n";
        conf += "auth_param ntlm children 2\nauth_param ntlm keep_alive on\n";
    }
    if (options.basic || options.ntlm) {
        conf += "acl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
    } else {
        conf += "http_access allow all\n";
    }
    std::string conf_file = dir_.write("squid.conf", conf);
    std::string output = dir_.file("squid.out");
    std::string name = "tidewell" + std::to_string(getpid()) + "x" + std::to_string(g_instance.fetch_add(1));

    pid_t pid = fork();
    if (pid < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execl(kSquid, kSquid, "-N", "-n", name.c_str(), "-f", conf_file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;

    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        int fd = ConnectLoopback(port_);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "squid exited at start: " + TempDir::read(output) + TempDir::read(dir_.file("cache.log"));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "squid did not accept connections within 30 s";
    Stop();
    return false;
}

void SquidProxy::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
}

std::string SquidProxy::AccessLog(int lines) const {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::string log = TempDir::read(dir_.file("access.log"));
        if (std::count(log.begin(), log.end(), '\n') >= lines || std::chrono::steady_clock::now() > until) {
            return log;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace tidewell::testing
