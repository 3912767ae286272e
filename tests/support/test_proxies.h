// HTTP proxies written for tests, on loopback:
//  - ScriptedProxy answers each CONNECT with a text the test chooses and,
//    after a 200, tunnels to the target; it records every request head.
//  - NtlmVerifyingProxy demands NTLM, sends a challenge (a well-formed one
//    with target information, or crafted bytes), and checks the client's
//    authenticate message with OpenSSL against the credentials it expects,
//    NTLMv1 or NTLMv2 by the response's length. User, domain and host names
//    must be ASCII.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/loopback_server.h"

namespace tidewell::testing {

// A CONNECT head as the proxy saw it, and which connection it came on.
struct ProxyRequestSeen {
    int connection = 0;  // 1 for the first connection accepted, ...
    std::string head;
};

class ScriptedProxy {
public:
    // The answer to the `index`-th request (0-based) of a connection, or ""
    // to close without one. After an answer starting "HTTP/1.1 200" or
    // "HTTP/1.0 200" the connection becomes a tunnel to the target named in
    // the request (loopback only); after one carrying "Connection: close"
    // the connection is closed.
    using Responder = std::function<std::string(const std::string& head, int index)>;

    explicit ScriptedProxy(Responder responder);
    int port() const { return server_.port(); }
    int accepted() const { return server_.accepted(); }
    bool WaitAccepted(int n) const { return server_.WaitAccepted(n); }
    std::vector<ProxyRequestSeen> Seen() const;
    // Waits (bounded) until `n` connections have ended.
    bool WaitConnectionsDone(int n, int timeout_ms = 20000) const;

private:
    void Serve(int fd);

    Responder responder_;
    mutable std::mutex mu_;  // guards seen_, next_id_, done_
    std::vector<ProxyRequestSeen> seen_;
    int next_id_ = 0;
    int done_ = 0;
    LoopbackServer server_;  // last: its threads use the members above
};

// A responder that opens the tunnel for Basic credentials `user`:`password`
// and answers everything else with a 407 offering Basic (kept alive).
ScriptedProxy::Responder BasicAuthResponder(const std::string& user, const std::string& password);

struct NtlmProxyOptions {
    std::string user;
    std::string password;
    std::string domain;
    std::string host;
    // The decoded challenge to send instead of the well-formed one; its
    // server challenge (bytes 24 to 31) is the one checked.
    std::string crafted_challenge;
};

struct NtlmProxySeen {
    bool authenticated = false;  // an authenticate message arrived
    bool verified = false;
    bool v2 = false;
    std::string why;  // what did not match
    std::string client_nonce;  // NTLMv2
    std::string authenticate;  // the decoded message
};

class NtlmVerifyingProxy {
public:
    explicit NtlmVerifyingProxy(NtlmProxyOptions options);
    int port() const { return server_.port(); }
    std::vector<NtlmProxySeen> Seen() const;
    // The target information of the well-formed challenge.
    static std::string TargetInfo();

private:
    void Serve(int fd);
    NtlmProxySeen Verify(const std::string& message, const std::string& challenge) const;

    NtlmProxyOptions options_;
    mutable std::mutex mu_;  // guards seen_
    std::vector<NtlmProxySeen> seen_;
    LoopbackServer server_;  // last
};

}  // namespace tidewell::testing
