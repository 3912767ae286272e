#include "net/proxy_io.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "net/proxy_log.h"

namespace {

std::atomic<int> g_wait_ms{ProxyWaitLimits().wait_ms};
std::atomic<int> g_max_waits{ProxyWaitLimits().max_waits};

// One readiness wait. 1: ready (or an error condition, which the next call
// on the socket reports); 0: timed out or interrupted; -1: the wait failed.
int WaitOnce(int sock, short events, int wait_ms) {
    pollfd p{sock, events, 0};
    int n = poll(&p, 1, wait_ms);
    if (n > 0) return 1;
    if (n == 0 || errno == EINTR) return 0;
    ProxyLog(PROXY_WARNING, "poll failed on socket %d: %s\n", sock, strerror(errno));
    return -1;
}

// Waits until `sock` is ready for `events`, counting timed-out waits in
// `timeouts` against the limit. 0 or PROXY_ERR_FAIL.
int WaitReady(int sock, short events, const ProxyWaitLimits& limits, int& timeouts) {
    for (;;) {
        int r = WaitOnce(sock, events, limits.wait_ms);
        if (r > 0) return 0;
        if (r < 0) return PROXY_ERR_FAIL;
        if (++timeouts >= limits.max_waits) {
            ProxyLog(PROXY_WARNING, "socket %d: no progress after %d waits\n", sock, timeouts);
            return PROXY_ERR_FAIL;
        }
    }
}

}  // namespace

void ProxySetWaitLimits(const ProxyWaitLimits& limits) {
    g_wait_ms.store(limits.wait_ms > 0 ? limits.wait_ms : 1);
    g_max_waits.store(limits.max_waits > 0 ? limits.max_waits : 1);
}

ProxyWaitLimits ProxyGetWaitLimits() {
    return ProxyWaitLimits{g_wait_ms.load(), g_max_waits.load()};
}

int CORVProxyConnect(const char* pszProxyServer, uint16_t ProxyPort) {
    if (pszProxyServer == nullptr || pszProxyServer[0] == '\0') return PROXY_ERR_FAIL;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int gai = getaddrinfo(pszProxyServer, nullptr, &hints, &found);
    if (gai != 0 || found == nullptr) {
        ProxyLog(PROXY_ERR, "cannot resolve proxy %s: %s\n", pszProxyServer, gai_strerror(gai));
        if (found) freeaddrinfo(found);
        return PROXY_ERR_FAIL;
    }
    sockaddr_in addr;
    memcpy(&addr, found->ai_addr, sizeof addr);
    freeaddrinfo(found);
    addr.sin_port = htons(ProxyPort);

    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        ProxyLog(PROXY_ERR, "socket: %s\n", strerror(errno));
        return PROXY_ERR_FAIL;
    }
    linger lg{1, 1};
    int one = 1;
    int flags = fcntl(sock, F_GETFL, 0);
    if (setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0 || flags < 0 ||
        fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0 ||
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        ProxyLog(PROXY_ERR, "socket options: %s\n", strerror(errno));
        close(sock);
        return PROXY_ERR_FAIL;
    }
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sock;
    if (errno != EINPROGRESS && errno != EINTR) {
        ProxyLog(PROXY_ERR, "connect to %s:%d: %s\n", pszProxyServer, ProxyPort, strerror(errno));
        close(sock);
        return PROXY_ERR_FAIL;
    }
    ProxyWaitLimits limits = ProxyGetWaitLimits();
    int timeouts = 0;
    int error = 0;
    socklen_t len = sizeof error;
    if (WaitReady(sock, POLLOUT, limits, timeouts) != 0 ||
        getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        ProxyLog(PROXY_ERR, "connect to %s:%d failed: %s\n", pszProxyServer, ProxyPort,
                 error ? strerror(error) : "no answer");
        close(sock);
        return PROXY_ERR_FAIL;
    }
    return sock;
}

int CORVProxyClientPacketSend(int sock, const char* buf, size_t len) {
    ProxyWaitLimits limits = ProxyGetWaitLimits();
    int timeouts = 0;
    size_t sent = 0;
    while (sent < len) {
        if (WaitReady(sock, POLLOUT, limits, timeouts) != 0) return PROXY_ERR_FAIL;
        ssize_t n = send(sock, buf + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            ProxyLog(PROXY_WARNING, "send on socket %d: %s\n", sock, strerror(errno));
            return PROXY_ERR_FAIL;
        }
        sent += static_cast<size_t>(n);
    }
    return 0;
}

int CORVProxyClientReadOneLine(int sock, char* buf, size_t size) {
    if (size < 2) return PROXY_ERR_LINE;
    ProxyWaitLimits limits = ProxyGetWaitLimits();
    int timeouts = 0;
    size_t got = 0;
    buf[0] = '\0';
    while (got < size - 1) {
        if (WaitReady(sock, POLLIN, limits, timeouts) != 0) return PROXY_ERR_FAIL;
        // Peek first and take only up to the line's end: the bytes after it
        // belong to the next line or, after the blank line, to the tunnel.
        ssize_t n = recv(sock, buf + got, size - 1 - got, MSG_PEEK);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n <= 0) {
            buf[got] = '\0';
            if (n == 0) ProxyLog(PROXY_WARNING, "socket %d closed by the proxy\n", sock);
            else ProxyLog(PROXY_WARNING, "recv on socket %d: %s\n", sock, strerror(errno));
            return PROXY_ERR_FAIL;
        }
        const char* nl = static_cast<const char*>(memchr(buf + got, '\n', static_cast<size_t>(n)));
        size_t take = nl ? static_cast<size_t>(nl - (buf + got)) + 1 : static_cast<size_t>(n);
        ssize_t r = recv(sock, buf + got, take, 0);
        if (r <= 0) {
            buf[got] = '\0';
            return PROXY_ERR_FAIL;
        }
        got += static_cast<size_t>(r);
        if (nl && static_cast<size_t>(r) == take) {
            buf[got] = '\0';
            return static_cast<int>(got);
        }
    }
    buf[got] = '\0';
    ProxyLog(PROXY_WARNING, "line longer than %zu bytes\n", size - 1);
    return PROXY_ERR_LINE;
}

int CORVProxyClientClearHttpContentByLength(int sock, long long length, long long limit) {
    ProxyWaitLimits limits = ProxyGetWaitLimits();
    int timeouts = 0;
    char chunk[8192];
    if (length > 0) {
        if (length > limit) {
            ProxyLog(PROXY_WARNING, "body of %lld bytes is over the limit\n", length);
            return PROXY_ERR_FAIL;
        }
        long long left = length;
        while (left > 0) {
            if (WaitReady(sock, POLLIN, limits, timeouts) != 0) return PROXY_ERR_FAIL;
            size_t want = left < static_cast<long long>(sizeof chunk) ? static_cast<size_t>(left) : sizeof chunk;
            ssize_t n = recv(sock, chunk, want, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (n <= 0) return PROXY_ERR_FAIL;
            left -= n;
        }
        return 0;
    }
    // Up to the first CR LF CR LF, the match carried across reads. Peeking
    // keeps whatever follows the marker on the socket.
    static const char kMarker[] = "\r\n\r\n";
    int matched = 0;
    long long dropped = 0;
    for (;;) {
        if (WaitReady(sock, POLLIN, limits, timeouts) != 0) return PROXY_ERR_FAIL;
        ssize_t n = recv(sock, chunk, sizeof chunk, MSG_PEEK);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n <= 0) return PROXY_ERR_FAIL;
        ssize_t take = 0;
        while (take < n && matched < 4) {
            char c = chunk[take++];
            if (c == kMarker[matched]) ++matched;
            else matched = c == '\r' ? 1 : 0;
        }
        if (recv(sock, chunk, static_cast<size_t>(take), 0) != take) return PROXY_ERR_FAIL;
        dropped += take;
        if (matched == 4) return 0;
        if (dropped > limit) {
            ProxyLog(PROXY_WARNING, "body without a length is over the limit\n");
            return PROXY_ERR_FAIL;
        }
    }
}

bool ProxyPeerHasClosed(int sock) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
    char c;
    ssize_t n = recv(sock, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}
