#include "daemon/stop_signal.h"

#include <fcntl.h>
#include <unistd.h>
#include <csignal>

namespace {

volatile sig_atomic_t g_stop_signal = 0;
int g_pipe[2] = {-1, -1};

void on_stop_signal(int sig) {
    g_stop_signal = sig;
    if (g_pipe[1] >= 0) {
        char byte = 1;
        ssize_t ignored = write(g_pipe[1], &byte, 1);
        (void)ignored;
    }
}

}  // namespace

int StopSignal::Install() {
    if (g_pipe[0] < 0) {
        if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            g_pipe[0] = g_pipe[1] = -1;
            return -1;
        }
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) return -1;

    struct sigaction stop = {};
    stop.sa_handler = on_stop_signal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    if (sigaction(SIGTERM, &stop, nullptr) != 0) return -1;
    if (sigaction(SIGINT, &stop, nullptr) != 0) return -1;
    return 0;
}

bool StopSignal::Requested() {
    return g_stop_signal != 0;
}

int StopSignal::Signal() {
    return g_stop_signal;
}

int StopSignal::WakeFd() {
    return g_pipe[0];
}
