// Keeps SIGPIPE away from the calling thread for the life of the guard.
//
// OpenSSL writes to its socket with write(), which raises SIGPIPE when the
// peer has gone; the default action would end the whole process. Every SSL
// call that may write (handshake, read, write, shutdown) runs under a guard,
// so a vanished peer is an error result instead.
#pragma once

#include <signal.h>

class SslSigpipeGuard {
public:
    SslSigpipeGuard();
    // Discards a SIGPIPE raised while the guard was up (one that was already
    // pending before is left alone) and restores the signal mask. errno is
    // preserved.
    ~SslSigpipeGuard();
    SslSigpipeGuard(const SslSigpipeGuard&) = delete;
    SslSigpipeGuard& operator=(const SslSigpipeGuard&) = delete;

private:
    sigset_t old_mask_;
    bool was_pending_;
};
