// Runs tidewell-ctl as a real process with its output captured.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tidewell::e2e {

inline const std::string kCtl = TIDEWELL_BINARY_DIR "/bin/tidewell-ctl";

struct Output {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs tidewell-ctl to its end, with its output captured.
inline Output run_ctl(const std::vector<std::string>& args) {
    testing::TempDir capture;
    std::string out_path = capture.file("out");
    std::string err_path = capture.file("err");
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(kCtl.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kCtl.c_str(), argv.data());
        _exit(127);
    }
    Output o;
    int status = 0;
    waitpid(pid, &status, 0);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
    o.out = testing::TempDir::read(out_path);
    o.err = testing::TempDir::read(err_path);
    return o;
}

// "tidewell-ctl start" in the background, its standard output in a file.
class CtlStart {
public:
    bool start(const std::string& config, bool json) {
        out_path = capture.file("start.out");
        pid = fork();
        if (pid == 0) {
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDERR_FILENO);
            if (json)
                execl(kCtl.c_str(), kCtl.c_str(), "start", "--config", config.c_str(), "--json",
                      static_cast<char*>(nullptr));
            else
                execl(kCtl.c_str(), kCtl.c_str(), "start", "--config", config.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string state = config + ".state";
        for (int i = 0; i < 300; ++i) {
            if (access(state.c_str(), F_OK) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    std::string output() const { return testing::TempDir::read(out_path); }
    // Waits until the output holds `text`.
    bool wait_for(const std::string& text) {
        for (int i = 0; i < 200; ++i) {
            if (output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    int wait_exit() {
        for (int i = 0; i < 600; ++i) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1000;
    }
    ~CtlStart() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    pid_t pid = -1;
    testing::TempDir capture;
    std::string out_path;
};

}  // namespace tidewell::e2e
