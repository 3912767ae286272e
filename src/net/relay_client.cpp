#include "net/relay_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "net/channel.h"
#include "net/relay_config.h"
#include "net/relay_token.h"
#include "net/ssl_sigpipe_guard.h"

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until the session's socket is ready for `events`. The time counts
// from the call; a wait that runs out after `channel_timeout` seconds gives
// RELAY_ERR_TIMEOUT.
int WaitSocket(SSL* ssl, short events, timeval timeout, uint32_t channel_timeout, int* abort_flag) {
    int fd = SSL_get_fd(ssl);
    if (fd < 0) return RELAY_ERR_IO;
    int64_t start = NowMs();
    for (;;) {
        short revents = 0;
        int ret = Channel::SelectWithTimeout(fd, events, &revents, timeout, abort_flag);
        if (ret == ERR_TIMEOUT) {
            if (NowMs() - start >= int64_t{channel_timeout} * 1000) return RELAY_ERR_TIMEOUT;
            continue;
        }
        if (ret < 0) return RELAY_ERR_IO;
        // Ready, or an error condition that the next SSL call reports.
        if (revents & (events | POLLERR | POLLHUP)) return 0;
        return RELAY_ERR_IO;
    }
}

bool PlainName(const char* s) {
    if (s == nullptr || s[0] == '\0') return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        if (*p <= 0x20 || *p == 0x7f) return false;
    }
    return true;
}

// The reply source over the relay's SSL session.
class SslReplySource : public RelayReplySource {
public:
    SslReplySource(SSL* ssl, timeval timeout, uint32_t channel_timeout, int* abort_flag)
        : ssl_(ssl), timeout_(timeout), channel_timeout_(channel_timeout), abort_flag_(abort_flag) {}

    int Wait() override { return SSL_read_timeout(ssl_, timeout_, channel_timeout_, abort_flag_); }
    int Peek(char* buf, int len) override { return Call(SSL_peek, buf, len); }
    int Read(char* buf, int len) override { return Call(SSL_read, buf, len); }

private:
    int Call(int (*fn)(SSL*, void*, int), char* buf, int len) {
        ERR_clear_error();
        int n;
        {
            SslSigpipeGuard guard;
            n = fn(ssl_, buf, len);
        }
        if (n > 0) return n;
        // TLS 1.3 session tickets and other records without application
        // data end a call with nothing to hand out: wait for more.
        int err = SSL_get_error(ssl_, n);
        ERR_clear_error();
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return kRetry;
        return 0;
    }

    SSL* ssl_;
    timeval timeout_;
    uint32_t channel_timeout_;
    int* abort_flag_;
};

}  // namespace

int SSL_read_timeout(SSL* ssl, timeval timeout, uint32_t channel_timeout, int* abort_flag) {
    if (SSL_pending(ssl) > 0) return 0;
    return WaitSocket(ssl, POLLIN, timeout, channel_timeout, abort_flag);
}

int CORVTunnelNonBlockingWrite(SSL* ssl, const char* buffer, size_t len, timeval m_timeout, uint32_t channel_timeout,
                               int* abort_flag) {
    size_t sent = 0;
    while (sent < len) {
        int ret = WaitSocket(ssl, POLLOUT, m_timeout, channel_timeout, abort_flag);
        if (ret < 0) return ret;
        size_t left = len - sent;
        int chunk = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
        ERR_clear_error();
        int n;
        {
            SslSigpipeGuard guard;
            n = SSL_write(ssl, buffer + sent, chunk);
        }
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        int err = SSL_get_error(ssl, n);
        ERR_clear_error();
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return RELAY_ERR_IO;
    }
    return 0;
}

int CORVTunnelBuildRequest(const char* pszTargetHost, int targetPort, char* out, size_t out_size, size_t* len) {
    if (!PlainName(pszTargetHost) || targetPort < 0 || targetPort > 65535) return RELAY_ERR_IO;
    char plain[kRelayRequestLimit];
    int plain_len = snprintf(plain, sizeof plain, "%s:%d", pszTargetHost, targetPort);
    if (plain_len < 0 || static_cast<size_t>(plain_len) >= sizeof plain) return RELAY_ERR_IO;
    // The token covers the terminating zero byte too.
    size_t token_plain = static_cast<size_t>(plain_len) + 1;
    char record[kRelayRequestLimit];
    if (CORVCryptoEncryptLength(token_plain) > sizeof record) return RELAY_ERR_IO;
    int record_len = CORVCryptoEncrypt(record, sizeof record, plain, token_plain);
    if (record_len <= 0) return RELAY_ERR_IO;
    size_t encoded_len = 4 * ((static_cast<size_t>(record_len) + 2) / 3);
    char encoded[kRelayRequestLimit];
    if (encoded_len >= sizeof encoded) return RELAY_ERR_IO;
    int n = CORVCryptoBase64Encode(encoded, sizeof encoded - 1, record, static_cast<size_t>(record_len));
    encoded[n] = '\0';

    int request_len = snprintf(out, out_size,
                               "GET /corv-tunnel HTTP/1.1\r\n"
                               "Host: %s\r\n"
                               "Upgrade: CorvexaTunnel\r\n"
                               "X-Target-Host: %s\r\n"
                               "X-Target-Port: %d\r\n"
                               "X-AuthToken: %s\r\n"
                               "\r\n",
                               kRelayHostName, pszTargetHost, targetPort, encoded);
    if (request_len < 0 || static_cast<size_t>(request_len) >= out_size ||
        static_cast<size_t>(request_len) > kRelayRequestLimit) {
        return RELAY_ERR_IO;
    }
    *len = static_cast<size_t>(request_len);
    return 0;
}

int CORVTunnelClientHandshake(SSL* ssl, const char* pszTargetHost, int targetPort, timeval timeout,
                              unsigned channel_timeout, int* abort_flag) {
    char request[kRelayRequestLimit + 1];
    size_t len = 0;
    int ret = CORVTunnelBuildRequest(pszTargetHost, targetPort, request, sizeof request, &len);
    if (ret != 0) return ret;
    ret = CORVTunnelNonBlockingWrite(ssl, request, len, timeout, channel_timeout, abort_flag);
    if (ret != 0) return ret;
    SslReplySource source(ssl, timeout, channel_timeout, abort_flag);
    return ReadRelayReply(source);
}
