// A stand-in for the relay endpoint: a TLS server (with a self-signed
// certificate made at start) that reads the upgrade request, checks its
// lines and its token, connects to the named target on loopback, answers
// with a status, then drops its TLS state without a close notification and
// forwards plain bytes both ways. A script chooses its answer, including the
// faults a real relay or a broken network may show.
#pragma once

#include <openssl/ssl.h>

#include <mutex>
#include <string>
#include <vector>

#include "support/loopback_server.h"

namespace tidewell::testing {

struct RelayScript {
    enum class Reply {
        kNormal,            // "X-Target-Status: 0" (or the check's status), then forwarding
        kStatus,            // "X-Target-Status: <status>", then close
        kLowerCaseHeader,   // "x-target-status: 0", then forwarding
        kNoStatusLine,      // only the response line and the blank line
        kCloseBeforeReply,  // close the connection without a byte of reply
        kSilence,           // never answer; wait until the client goes
        kOneBytePerRecord,  // the normal reply, one byte per TLS record
    };
    Reply reply = Reply::kNormal;
    int status = 0;
    // The highest TLS version offered (TLS1_2_VERSION, TLS1_3_VERSION); 0:
    // the library's highest.
    int max_tls_version = 0;
};

// The relay's status numbers for requests it refuses itself.
constexpr int kRelayStatusBadRequest = 2;
constexpr int kRelayStatusBadToken = 3;
constexpr int kRelayStatusTargetUnreachable = 4;

// What the relay saw of one connection.
struct RelaySeen {
    bool handshake = false;  // the TLS handshake completed
    bool request = false;    // a whole request head arrived
    std::string head;
    std::string target_host;
    int target_port = 0;
    bool token_ok = false;   // the token decrypted to "host:port" of the headers
    int status_sent = -1;    // -1: none
};

class StandInRelay {
public:
    explicit StandInRelay(RelayScript script = {});
    ~StandInRelay();

    int port() const { return server_.port(); }
    std::vector<RelaySeen> Seen() const;
    // Waits (bounded) until `n` connections have ended.
    bool WaitConnectionsDone(int n, int timeout_ms = 20000) const;

private:
    void Serve(int fd);
    void Record(const RelaySeen& seen);

    RelayScript script_;
    SSL_CTX* ctx_ = nullptr;
    mutable std::mutex mu_;  // guards seen_
    std::vector<RelaySeen> seen_;
    LoopbackServer server_;  // last: its threads use the members above
};

}  // namespace tidewell::testing
