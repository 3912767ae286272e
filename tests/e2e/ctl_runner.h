// Runs tidewell-ctl as a real process with its output captured.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
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

}  // namespace tidewell::e2e
