// Peers for SSL tests: a listening socket on 127.0.0.1 with a kernel-chosen
// port, and an OpenSSL server that serves one connection on a thread of its
// own.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace tidewell::testing {

// Connections complete in the backlog even when nobody accepts them, so a
// bare listener is also a peer that never answers.
class TcpListener {
public:
    TcpListener();
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    int port() const { return port_; }
    int fd() const { return fd_; }
    // The next connection, or -1 when none arrives within `timeout_ms`.
    int Accept(int timeout_ms = 10000);

private:
    int fd_;
    int port_;
};

// Accepts one connection, runs the TLS handshake with the given certificate
// chain and key, then hands the session to `session`; afterwards it sends its
// close notification and closes. SIGPIPE is blocked on the server thread.
class TlsTestServer {
public:
    using Session = std::function<void(SSL*)>;

    TlsTestServer(const std::string& cert_file, const std::string& key_file, Session session = Echo);
    ~TlsTestServer();

    int port() const { return listener_.port(); }
    // Waits for the server thread to end; whether its handshake succeeded.
    bool Join();

    // Sends back everything it receives until the client closes.
    static void Echo(SSL* ssl);
    // Reads until the client closes.
    static void Drain(SSL* ssl);
    // Reads exactly `n` bytes (fewer when the client closes first).
    static std::string ReadExactly(SSL* ssl, size_t n);
    static bool WriteAll(SSL* ssl, const std::string& bytes);

private:
    void Run(Session session);

    TcpListener listener_;
    SSL_CTX* ctx_;
    std::atomic<bool> handshake_ok_{false};
    std::thread thread_;
};

}  // namespace tidewell::testing
