// The SSL side of Channel: converting an open plain channel in place, the
// SSL I/O set that then serves the unchanged buffering code, the relay's
// short SSL sessions (InitSSL, SSLHandshake, DeinitSSL), the certificate
// policy and the logging of OpenSSL's error queue.
//
// Every OpenSSL call that reports through SSL_get_error starts from an empty
// error queue: a stale entry left on the thread by an earlier failure would
// turn a harmless want-read into a fatal error.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/logger.h"
#include "net/channel.h"
#include "net/ssl_peer_names.h"
#include "net/ssl_sigpipe_guard.h"

std::string Channel::m_cert_path = "/tmp/.tidewell_certs";
std::string Channel::m_key_path = "/tmp/.tidewell_server.key";
ustring Channel::m_ca_path = "/certs.pem";

namespace {

const char* const kComponent = "channel_debug";

constexpr short kErrorEvents = POLLERR | POLLHUP | POLLNVAL;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int ClampLength(size_t len) {
    return len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

bool IsAddressLiteral(const ustring& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// The certificate decision after a completed handshake.
bool PeerAccepted(SSL* ssl, bool allow_untrust, const ustring& hostname) {
    if (allow_untrust) return true;
    if (SSL_get_verify_result(ssl) != X509_V_OK) return false;
    if (hostname.empty()) return true;
    X509* cert = SSL_get1_peer_certificate(ssl);
    if (cert == nullptr) return false;
    bool accepted = false;
    ustring common_name;
    if (SslSubjectCommonName(cert, common_name) && Channel::checkCertHostnameMatch(common_name, hostname)) {
        accepted = true;
    } else {
        for (const ustring& name : SslSubjectAltDnsNames(cert)) {
            if (Channel::checkCertHostnameMatch(name, hostname)) {
                accepted = true;
                break;
            }
        }
    }
    X509_free(cert);
    return accepted;
}

const Channel::__tag_CHANNEL_OPS kSslOps = {
    nullptr,
    Channel::SSLReadFd,
    Channel::SSLWriteFd,
    Channel::ssl_get_fd,
    Channel::ssl_channel_close,
    Channel::ssl_channel_is_invalid,
};

}  // namespace

const Channel::__tag_CHANNEL_OPS& Channel::SSLOps() {
    return kSslOps;
}

void Channel::SetVerifyCAPath(const ustring& path) {
    m_ca_path = path;
}

void Channel::SetCERTPath(const std::string& path) {
    m_cert_path = path;
}

void Channel::SetPriKeyPath(const std::string& path) {
    m_key_path = path;
}

// 0 (also for a channel that already is SSL); ERR_IO when the channel is not
// open or the set-up or handshake fails; ERR_INT or ERR_TIMEOUT when the
// handshake was aborted or timed out; ERR_SSL_VERIFY_FAIL when the server's
// certificate is rejected. On failure the channel stays open and plain.
int Channel::ConvertToSSLChannel(bool is_server) {
    if (m_isSSL) {
        TW_WARNING(kComponent, "ConvertToSSLChannel: Channel is SSL channel, no need to be converted\n");
        return 0;
    }
    if (m_ops.isInvalid(m_ops.context)) {
        TW_WARNING(kComponent, "ConvertToSSLChannel: Channel is not open\n");
        return ERR_IO;
    }

    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    int result = 0;
    if (InitSSL(ssl, ctx, is_server, m_is_allowing_untrust) != 0) {
        TW_WARNING(kComponent, "Open: init ssl failed\n");
        result = ERR_IO;
    } else if (SSL_set_fd(ssl, m_ops.get_fd(m_ops.context)) != 1) {
        TW_WARNING(kComponent, "set fd failed\n");
        log_ssl();
        result = ERR_IO;
    } else {
        // Name the server for virtual hosting; an address literal is not a
        // name and is not sent.
        if (!is_server && !m_ssl_hostname.empty() && !IsAddressLiteral(m_ssl_hostname)) {
            if (SSL_set_tlsext_host_name(ssl, m_ssl_hostname.c_str()) != 1) ERR_clear_error();
        }
        int ret = SSLHandshake(ssl, m_timeout, channel_timeout, flag);
        if (ret != 0) {
            TW_WARNING(kComponent, "Open to SSL connect to server failed\n");
            result = ret == ERR_INT || ret == ERR_TIMEOUT ? ret : ERR_IO;
        } else if (!PeerAccepted(ssl, m_is_allowing_untrust, m_ssl_hostname)) {
            TW_WARNING(kComponent, "ConvertToSSLChannel: Verify Fail!\n");
            result = ERR_SSL_VERIFY_FAIL;
        }
    }
    if (result != 0) {
        DeinitSSL(ssl, ctx, true);
        return result;
    }

    // The socket stays open; from now on it belongs to the SSL object, and
    // the context is freed together with that object.
    delete static_cast<SOCKET*>(m_ops.context);
    m_ops.context = ssl;
    SwitchChannelOp(CHANNEL_SSL_MODE);
    m_isSSL = true;
    return 0;
}

bool Channel::GetSSLStatus(std::string& version, long& verify_result) const {
    if (!m_isSSL || m_ops.context == nullptr) return false;
    const SSL* ssl = static_cast<const SSL*>(m_ops.context);
    version = SSL_get_version(ssl);
    verify_result = SSL_get_verify_result(ssl);
    return true;
}

int Channel::InitSSL(SSL*& ssl, SSL_CTX*& ctx, bool is_server, bool allow_untrust) {
    ssl = nullptr;
    ERR_clear_error();
    ctx = SSL_CTX_new(is_server ? TLS_server_method() : TLS_client_method());
    if (ctx == nullptr) {
        TW_WARNING(kComponent, "m_ssl_ctx created failed\n");
        log_ssl();
        DeinitSSL(ssl, ctx, false);
        return -1;
    }
    if (is_server) {
        if (InstallCERT(ctx) != 0) {
            TW_WARNING(kComponent, "Open: init ssl certificate failed\n");
            DeinitSSL(ssl, ctx, false);
            return -1;
        }
        if (InstallPriKey(ctx) != 0) {
            TW_WARNING(kComponent, "Open: init ssl private key failed\n");
            DeinitSSL(ssl, ctx, false);
            return -1;
        }
    }
    ssl = SSL_new(ctx);
    if (ssl == nullptr) {
        TW_WARNING(kComponent, "m_ssl created failed\n");
        log_ssl();
        DeinitSSL(ssl, ctx, false);
        return -1;
    }
    // SSL_write may then report what it sent of a large block, and the
    // buffering code may retry from a different address after a wait.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (is_server) {
        SSL_set_accept_state(ssl);
        return 0;
    }
    if (!allow_untrust && InstallVerifyCA(ctx) != 0) {
        TW_WARNING(kComponent, "InitSSL(): set Verify store fail\n");
        DeinitSSL(ssl, ctx, false);
        return -1;
    }
    // The handshake never fails on a bad certificate; ConvertToSSLChannel
    // judges the verification result afterwards.
    SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
    SSL_set_connect_state(ssl);
    return 0;
}

void Channel::DeinitSSL(SSL*& ssl, SSL_CTX*& ctx, bool quiet) {
    if (ssl != nullptr) {
        if (quiet) SSL_set_quiet_shutdown(ssl, 1);
        {
            SslSigpipeGuard guard;
            SSL_shutdown(ssl);
        }
        // Shutting down an object that never finished a handshake queues an
        // error that nobody needs to see.
        ERR_clear_error();
        SSL_free(ssl);
        ssl = nullptr;
    }
    if (ctx != nullptr) {
        SSL_CTX_free(ctx);
        ctx = nullptr;
    }
}

int Channel::SSLHandshake(SSL* ssl, timeval timeout, uint32_t channel_timeout_s, int* abort_flag) {
    SOCKET fd = SSL_get_fd(ssl);
    // Time since the socket was last ready: the limit is on a handshake that
    // stops moving, not on a slow one.
    int64_t last_ready = NowMs();
    for (;;) {
        ERR_clear_error();
        int ret;
        {
            SslSigpipeGuard guard;
            ret = SSL_do_handshake(ssl);
        }
        if (ret == 1) return 0;
        int err = SSL_get_error(ssl, ret);
        if (ret == 0) {
            TW_WARNING(kComponent, "SSLHandshake: SSL error code: %d\n", err);
            log_ssl();
            return ERR_IO;
        }
        short events;
        if (err == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (err == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else {
            TW_WARNING(kComponent, "SSLHandshake: SSL fatel error code: %d\n", err);
            log_ssl();
            return ERR_IO;
        }

        short revents = 0;
        int wait = SelectWithTimeout(fd, events, &revents, timeout, abort_flag);
        if (wait == ERR_TIMEOUT) {
            if (channel_timeout_s != 0 && NowMs() - last_ready >= int64_t{channel_timeout_s} * 1000) {
                TW_WARNING(kComponent, "SSLHandshake: timed out during connect (%d seconds), abort anyway\n",
                           static_cast<int>(channel_timeout_s));
                return ERR_TIMEOUT;
            }
            continue;
        }
        if (wait < 0) return wait;
        // Ready wins over an error or hang-up condition: what the peer sent
        // before closing is still read, and OpenSSL reports the failure.
        if (revents & events) {
            TW_DEBUG(kComponent, "SSLHandshake: reset timeout\n");
            last_ready = NowMs();
            continue;
        }
        if (revents & kErrorEvents) {
            TW_WARNING(kComponent, "SSLHandshake: exception set\n");
            return ERR_IO;
        }
        TW_WARNING(kComponent, "SSLHandshake: select returns but fd is not set\n");
        return ERR_SYS;
    }
}

int Channel::InstallVerifyCA(SSL_CTX* ctx) {
    if (m_ca_path.empty()) {
        if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
            TW_WARNING(kComponent, "SSL_CTX_set_default_verify_paths failed\n");
            log_ssl();
            return -1;
        }
        return 0;
    }
    if (SSL_CTX_load_verify_locations(ctx, m_ca_path.c_str_utf8(), nullptr) != 1) {
        TW_WARNING(kComponent, "SSL_CTX_load_verify_locations(%s) failed\n", m_ca_path.c_str_utf8());
        log_ssl();
        return -1;
    }
    return 0;
}

int Channel::InstallCERT(SSL_CTX* ctx) {
    TW_DEBUG(kComponent, "cert path = %s\n", m_cert_path.c_str());
    if (SSL_CTX_use_certificate_chain_file(ctx, m_cert_path.c_str()) != 1) {
        TW_WARNING(kComponent, "Install certificate failed\n");
        log_ssl();
        return -1;
    }
    return 0;
}

int Channel::InstallPriKey(SSL_CTX* ctx) {
    // A key that does not belong to the certificate is refused here rather
    // than by every handshake.
    if (SSL_CTX_use_PrivateKey_file(ctx, m_key_path.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        TW_WARNING(kComponent, "Install private key failed\n");
        log_ssl();
        return -1;
    }
    return 0;
}

int Channel::SSLReadFd(void* context, void* buf, size_t len, const timeval& timeout, int* abort_flag) {
    SSL* ssl = static_cast<SSL*>(context);
    if (len == 0) {
        TW_WARNING(kComponent, "ReadFd: request 0\n");
        return ERR_INVAL;
    }
    int want = ClampLength(len);

    // Bytes OpenSSL has already decrypted do not show on the socket.
    int pending = SSL_pending(ssl);
    if (pending >= 1) {
        ERR_clear_error();
        int n;
        {
            SslSigpipeGuard guard;
            n = SSL_read(ssl, buf, pending < want ? pending : want);
        }
        if (n < 1) {
            TW_WARNING(kComponent, "Diagnose: SSL_read failed\n");
            log_ssl();
            return ERR_IO;
        }
        TW_DEBUG(kComponent, "ReadFd: read %d bytes\n", n);
        return n;
    }

    SOCKET fd = SSL_get_fd(ssl);
    short revents = 0;
    int ret = SelectWithTimeout(fd, POLLIN, &revents, timeout, abort_flag);
    if (ret < 0) return ret;
    if (!(revents & POLLIN)) {
        if (revents & kErrorEvents) {
            TW_WARNING(kComponent, "ReadFd: exception set\n");
            return ERR_IO;
        }
        TW_WARNING(kComponent, "ReadFd: select but fd [%d] not ready\n", fd);
        return ERR_SYS;
    }
    ERR_clear_error();
    int n;
    {
        SslSigpipeGuard guard;
        n = SSL_read(ssl, buf, want);
    }
    if (n < 1) {
        int err = SSL_get_error(ssl, n);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            TW_DEBUG(kComponent, "SSL want read");
            return ERR_TIMEOUT;
        }
        // A close by the peer, clean or not, or a broken record.
        TW_WARNING(kComponent, "Diagnose: SSL_read failed\n");
        log_ssl();
        return ERR_IO;
    }
    TW_DEBUG(kComponent, "ReadFd: read %d bytes\n", n);
    return n;
}

int Channel::SSLWriteFd(void* context, const void* buf, size_t len, const timeval& timeout, int* abort_flag) {
    SSL* ssl = static_cast<SSL*>(context);
    if (len == 0) return 0;
    SOCKET fd = SSL_get_fd(ssl);
    short revents = 0;
    int ret = SelectWithTimeout(fd, POLLOUT, &revents, timeout, abort_flag);
    if (ret < 0) return ret;
    if (revents & kErrorEvents) {
        TW_WARNING(kComponent, "WriteFd: exception set\n");
        return ERR_IO;
    }
    if (!(revents & POLLOUT)) {
        TW_WARNING(kComponent, "WriteFd: select but fd [%d] not ready\n", fd);
        return ERR_SYS;
    }
    ERR_clear_error();
    int n;
    int saved_errno;
    {
        SslSigpipeGuard guard;
        errno = 0;
        n = SSL_write(ssl, buf, ClampLength(len));
        saved_errno = errno;
    }
    if (n > 0) {
        TW_DEBUG(kComponent, "WriteFd: write %d bytes\n", n);
        return n;
    }
    int err = SSL_get_error(ssl, n);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        TW_DEBUG(kComponent, "SSL want write\n");
        return ERR_TIMEOUT;
    }
    if (err == SSL_ERROR_SYSCALL) {
        TW_WARNING(kComponent, "syscall error: n = %d, ssl_ret = %d, errno = %d, err = %s\n", n, err, saved_errno,
                   strerror(saved_errno));
        log_ssl();
        return ERR_SYS;
    }
    TW_WARNING(kComponent, "misc error: n = %d, ssl_ret = %d, errno = %d\n", n, err, saved_errno);
    log_ssl();
    return ERR_IO;
}

SOCKET Channel::ssl_get_fd(void* context) {
    return context ? SSL_get_fd(static_cast<SSL*>(context)) : -1;
}

int Channel::ssl_channel_close(void* context) {
    TW_DEBUG(kComponent, "destroy ssl obj %p\n", context);
    SSL* ssl = static_cast<SSL*>(context);
    if (ssl == nullptr) return 0;
    SOCKET fd = SSL_get_fd(ssl);
    SSL_CTX* ctx = SSL_get_SSL_CTX(ssl);
    // One close notification, without waiting for the peer's.
    ERR_clear_error();
    {
        SslSigpipeGuard guard;
        SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    if (fd != -1) {
        if (shutdown(fd, SHUT_RDWR) != 0) TW_DEBUG(kComponent, "Channel: shutdown: %s\n", strerror(errno));
        ::close(fd);
        TW_DEBUG(kComponent, "Channel: socket %d closed\n", fd);
    }
    return 0;
}

bool Channel::ssl_channel_is_invalid(void* context) {
    return context == nullptr;
}

void Channel::log_ssl() {
    unsigned long code;
    char text[256];
    while ((code = ERR_get_error()) != 0) {
        ERR_error_string_n(code, text, sizeof text);
        TW_WARNING(kComponent, "ssl-errors: %s\n", text);
    }
}

bool Channel::checkCertHostnameMatch(const ustring& pattern, const ustring& host) {
    std::string_view p = pattern.view();
    std::string_view h = host.view();
    if (p.empty() || p[0] != '*') return EqualsIgnoringCase(p, h);
    // The wildcard stands for exactly one label in front of a domain, or for
    // none (the bare domain). A wildcard without a domain names nothing.
    if (p.size() <= 2) return false;
    std::string_view domain = p.substr(2);
    if (EqualsIgnoringCase(domain, h)) return true;
    size_t dot = h.find('.');
    if (dot == std::string_view::npos) return false;
    return EqualsIgnoringCase(h.substr(dot + 1), domain);
}
