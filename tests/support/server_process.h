// A tidewell-server process for a test: started on a free loopback port in
// a root folder of the test's choosing, its log in a file, stopped by pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tidewell::testing {

class ServerProcess {
public:
    // `program`: the tidewell-server binary; `root`: its root folder (the
    // log and the port file go beside it).
    ServerProcess(std::string program, std::string root);
    ~ServerProcess();  // kills it if still running
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts with --root, --listen 127.0.0.1:0, --port-file and `args`, and
    // waits (up to 30 s) until it listens. False when it exits or never
    // listens (the log says why).
    bool Start(const std::vector<std::string>& args);
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    // SIGTERM, then waits; the exit status, or -1 when it did not exit
    // within `timeout_ms` (it is killed then).
    int Stop(int timeout_ms = 30000);
    // SIGKILL, and waits.
    void Kill();
    bool running();

    std::string log() const;
    const std::string& root() const { return root_; }
    const std::string& log_path() const { return log_path_; }

    // Runs `tidewell-server ARGS...` to its end; its stdout, and the exit
    // status in `status`.
    static std::string RunTool(const std::string& program, const std::vector<std::string>& args, int& status);

private:
    std::string program_;
    std::string root_;
    std::string log_path_;
    std::string port_path_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace tidewell::testing
