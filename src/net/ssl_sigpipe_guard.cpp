#include "net/ssl_sigpipe_guard.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

namespace {

sigset_t PipeSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool PipePending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

SslSigpipeGuard::SslSigpipeGuard() {
    was_pending_ = PipePending();
    sigset_t set = PipeSet();
    pthread_sigmask(SIG_BLOCK, &set, &old_mask_);
}

SslSigpipeGuard::~SslSigpipeGuard() {
    int saved_errno = errno;
    if (!was_pending_ && PipePending()) {
        sigset_t set = PipeSet();
        timespec zero{0, 0};
        while (sigtimedwait(&set, nullptr, &zero) == -1 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    errno = saved_errno;
}
