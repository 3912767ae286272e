#include "support/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace tidewell::testing {

ServerProcess::ServerProcess(std::string program, std::string root)
    : program_(std::move(program)), root_(std::move(root)), log_path_(root_ + ".log"), port_path_(root_ + ".port") {}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) Kill();
}

bool ServerProcess::Start(const std::vector<std::string>& args) {
    std::remove(port_path_.c_str());
    std::vector<std::string> all = {program_, "--root", root_, "--listen", "127.0.0.1:0", "--port-file", port_path_};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
        // The server goes with the test (or benchmark) that started it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program_.c_str(), argv.data());
        _exit(127);
    }
    if (pid_ < 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(port_path_);
        if (in >> port_ && port_ > 0) return true;
        if (!running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Kill();
    return false;
}

bool ServerProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int ServerProcess::Stop(int timeout_ms) {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Kill();
    return -1;
}

void ServerProcess::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string ServerProcess::log() const {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ServerProcess::RunTool(const std::string& program, const std::vector<std::string>& args, int& status) {
    int pipefd[2];
    if (pipe(pipefd) != 0) {
        status = -1;
        return "";
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        dup2(pipefd[1], STDOUT_FILENO);
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return out;
}

}  // namespace tidewell::testing
