// Feeds arbitrary bytes as a proxy's answer through a real socket pair to
// the proxy client's response reader, and checks what it promises: the
// header limits, and that a 200 leaves every byte after its headers in
// place.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/proxy_io.h"
#include "net/proxy_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Everything is written before reading: stay well inside the socket
    // buffer.
    if (size > 100000) return 0;
    static bool once = [] {
        ProxySetWaitLimits({10, 1});
        return true;
    }();
    (void)once;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
    size_t at = 0;
    while (at < size) {
        ssize_t n = send(fds[1], data + at, size - at, MSG_NOSIGNAL);
        if (n <= 0) abort();
        at += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);

    ProxyHttpResponse response;
    int ret = ReadProxyResponse(fds[0], response);
    std::string rest;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fds[0], buf, sizeof buf, MSG_DONTWAIT)) > 0) rest.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    close(fds[1]);

    if (response.headers.size() > kProxyMaxHeaderLines) abort();
    for (const ProxyHttpHeader& h : response.headers) {
        if (h.key.empty() || h.value.empty() || h.key.find(':') != std::string::npos) abort();
    }
    if (ret == 0) {
        size_t taken = size - rest.size();
        (void)response.KeepsAlive();
        (void)response.Find("Content-Length");
        // A 200 ends at its blank line: nothing after it was taken.
        if (response.status == 200 && (taken == 0 || data[taken - 1] != '\n')) abort();
    }
    return 0;
}
