#include "ssl_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tidewell::testing {

TcpListener::TcpListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 8) != 0) abort();
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

TcpListener::~TcpListener() {
    close(fd_);
}

int TcpListener::Accept(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

TlsTestServer::TlsTestServer(const std::string& cert_file, const std::string& key_file, Session session) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr || SSL_CTX_use_certificate_chain_file(ctx_, cert_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        fprintf(stderr, "test server: cannot load %s / %s\n", cert_file.c_str(), key_file.c_str());
        abort();
    }
    thread_ = std::thread(&TlsTestServer::Run, this, std::move(session));
}

TlsTestServer::~TlsTestServer() {
    Join();
    SSL_CTX_free(ctx_);
}

bool TlsTestServer::Join() {
    if (thread_.joinable()) thread_.join();
    return handshake_ok_;
}

void TlsTestServer::Run(Session session) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    int fd = listener_.Accept();
    if (fd < 0) return;
    // A client that goes quiet must not hold the test up forever.
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        handshake_ok_ = true;
        if (session) session(ssl);
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    close(fd);
}

void TlsTestServer::Echo(SSL* ssl) {
    char buf[16384];
    for (;;) {
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) return;
        if (!WriteAll(ssl, std::string(buf, n))) return;
    }
}

void TlsTestServer::Drain(SSL* ssl) {
    char buf[16384];
    while (SSL_read(ssl, buf, sizeof buf) > 0) {
    }
}

std::string TlsTestServer::ReadExactly(SSL* ssl, size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
        int r = SSL_read(ssl, out.data() + got, static_cast<int>(n - got));
        if (r <= 0) break;
        got += r;
    }
    out.resize(got);
    return out;
}

bool TlsTestServer::WriteAll(SSL* ssl, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int w = SSL_write(ssl, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (w <= 0) return false;
        sent += w;
    }
    return true;
}

}  // namespace tidewell::testing
