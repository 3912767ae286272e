// The proxy client's socket steps: connecting to the proxy, sending a
// request, reading one line, discarding a body. Each waits for readiness in
// bounded waits (2 s each, 6 at most by default) and gives PROXY_ERR_FAIL
// when they run out.
#pragma once

#include <cstddef>

#include "net/proxy_client.h"

// The length of one readiness wait and how many timed-out waits one step
// (a connect, a send, a line, a body) may take before it fails.
struct ProxyWaitLimits {
    int wait_ms = 2000;
    int max_waits = 6;
};

// The limits in force for every later step on any thread. Tests shorten
// them; the daemon keeps the defaults.
void ProxySetWaitLimits(const ProxyWaitLimits& limits);
ProxyWaitLimits ProxyGetWaitLimits();

// Sends all `len` bytes; 0 or PROXY_ERR_FAIL. Never raises SIGPIPE.
int CORVProxyClientPacketSend(int sock, const char* buf, size_t len);

// Reads one line, its '\n' included, into `buf` (`size` bytes, terminated).
// The line's length; PROXY_ERR_FAIL on a time limit, an error or the end of
// the stream; PROXY_ERR_LINE for a size below 2 or when the space runs out
// before a '\n' (the text read so far is kept, terminated). Never reads past
// the line's end.
int CORVProxyClientReadOneLine(int sock, char* buf, size_t size);

// With `length` > 0, receives and drops exactly that many bytes; otherwise
// drops bytes up to and including the first CR LF CR LF. 0 or PROXY_ERR_FAIL
// (also when more than `limit` bytes would be dropped).
int CORVProxyClientClearHttpContentByLength(int sock, long long length, long long limit);

// Whether the peer has already closed its side of `sock` (without waiting):
// an answer that promised to keep the connection alive may still be
// followed by a close.
bool ProxyPeerHasClosed(int sock);
