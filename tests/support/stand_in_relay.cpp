#include "support/stand_in_relay.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

#include "net/relay_config.h"
#include "net/relay_token.h"

namespace tidewell::testing {

namespace {

// A fresh P-256 key and a self-signed certificate for the relay's name; the
// client does not check it.
bool UseSelfSignedIdentity(SSL_CTX* ctx) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key && cert;
    if (ok) {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(kRelayHostName),
                                   -1, -1, 0);
        X509_set_issuer_name(cert, name);
        ok = X509_sign(cert, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, cert) == 1 &&
             SSL_CTX_use_PrivateKey(ctx, key) == 1;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}

bool SslWriteAll(SSL* ssl, const std::string& text, bool byte_per_record) {
    size_t step = byte_per_record ? 1 : text.size();
    for (size_t at = 0; at < text.size(); at += step) {
        size_t n = text.size() - at < step ? text.size() - at : step;
        if (SSL_write(ssl, text.data() + at, static_cast<int>(n)) != static_cast<int>(n)) return false;
    }
    return true;
}

// The request head, read one byte at a time so that nothing after it is
// taken into the TLS layer's hands.
bool SslReadHead(SSL* ssl, std::string& head) {
    head.clear();
    while (head.size() < 16384) {
        char c;
        if (SSL_read(ssl, &c, 1) != 1) return false;
        head.push_back(c);
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) return true;
    }
    return false;
}

// The status the relay's own checks give: 0 when the request is well formed
// and the token names the target of its headers.
int CheckRequest(RelaySeen& seen) {
    const std::string& head = seen.head;
    if (head.compare(0, 27, "GET /corv-tunnel HTTP/1.1\r\n") != 0 ||
        HttpHeaderValue(head, "Host") != kRelayHostName || HttpHeaderValue(head, "Upgrade") != "CorvexaTunnel") {
        return kRelayStatusBadRequest;
    }
    seen.target_host = HttpHeaderValue(head, "X-Target-Host");
    std::string port_text = HttpHeaderValue(head, "X-Target-Port");
    seen.target_port = atoi(port_text.c_str());
    std::string token = HttpHeaderValue(head, "X-AuthToken");
    std::string record(token.size(), '\0');
    int record_len = CORVCryptoBase64Decode(record.data(), record.size(), token.data(), token.size());
    if (record_len <= 0) return kRelayStatusBadToken;
    char plain[1024];
    int plain_len = CORVCryptoDecrypt(plain, sizeof plain, record.data(), static_cast<size_t>(record_len));
    std::string expected = seen.target_host + ":" + port_text;
    expected.push_back('\0');
    seen.token_ok = plain_len > 0 && std::string(plain, static_cast<size_t>(plain_len)) == expected;
    return seen.token_ok ? 0 : kRelayStatusBadToken;
}

SSL_CTX* MakeRelayContext(const RelayScript& script) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || !UseSelfSignedIdentity(ctx)) abort();
    if (script.max_tls_version != 0) SSL_CTX_set_max_proto_version(ctx, script.max_tls_version);
    return ctx;
}

}  // namespace

StandInRelay::StandInRelay(RelayScript script)
    : script_(script), ctx_(MakeRelayContext(script_)), server_([this](int fd) { Serve(fd); }) {}

StandInRelay::~StandInRelay() {
    server_.Stop();
    SSL_CTX_free(ctx_);
}

std::vector<RelaySeen> StandInRelay::Seen() const {
    std::lock_guard<std::mutex> guard(mu_);
    return seen_;
}

bool StandInRelay::WaitConnectionsDone(int n, int timeout_ms) const {
    return WaitFor(
        [&] {
            std::lock_guard<std::mutex> guard(mu_);
            return static_cast<int>(seen_.size()) >= n;
        },
        timeout_ms);
}

void StandInRelay::Record(const RelaySeen& seen) {
    std::lock_guard<std::mutex> guard(mu_);
    seen_.push_back(seen);
}

void StandInRelay::Serve(int fd) {
    RelaySeen seen;
    // A client that stops in the middle of the TLS exchange must not hold
    // the relay up.
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    int target = -1;
    bool forward = false;
    if (SSL_accept(ssl) == 1) {
        seen.handshake = true;
        seen.request = SslReadHead(ssl, seen.head);
        if (seen.request) {
            int status = CheckRequest(seen);
            if (status == 0) {
                bool loopback = seen.target_host == "127.0.0.1" || seen.target_host == "localhost";
                target = loopback ? ConnectLoopback(seen.target_port) : -1;
                if (target < 0) status = kRelayStatusTargetUnreachable;
            }
            using Reply = RelayScript::Reply;
            std::string reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: CorvexaTunnel\r\n";
            switch (script_.reply) {
                case Reply::kNormal:
                case Reply::kOneBytePerRecord:
                    reply += "X-Target-Status: " + std::to_string(status) + "\r\n\r\n";
                    seen.status_sent = status;
                    forward = status == 0;
                    break;
                case Reply::kStatus:
                    reply += "X-Target-Status: " + std::to_string(script_.status) + "\r\n\r\n";
                    seen.status_sent = script_.status;
                    break;
                case Reply::kLowerCaseHeader:
                    reply += "x-target-status: " + std::to_string(status) + "\r\n\r\n";
                    forward = status == 0;
                    break;
                case Reply::kNoStatusLine:
                    reply += "\r\n";
                    break;
                case Reply::kCloseBeforeReply:
                case Reply::kSilence:
                    reply.clear();
                    break;
            }
            if (script_.reply == Reply::kSilence) {
                DrainUntilClosed(fd);
            } else if (!reply.empty() &&
                       !SslWriteAll(ssl, reply, script_.reply == Reply::kOneBytePerRecord)) {
                forward = false;
            }
        }
    }
    // No close notification: from here on the stream is the target's.
    SSL_set_quiet_shutdown(ssl, 1);
    SSL_free(ssl);
    if (forward) {
        timeval none{0, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
        PipeBoth(fd, target);
    }
    if (target >= 0) close(target);
    Record(seen);
}

}  // namespace tidewell::testing
