// Reading a proxy's answer to a CONNECT request: the status line, the header
// lines and the body, leaving the socket at the first byte after the answer
// (for a 200, the first byte of the tunnel).
#pragma once

#include <string>
#include <string_view>
#include <vector>

constexpr size_t kProxyStatusLineSize = 1024;
constexpr size_t kProxyHeaderLineSize = 8192;
// An answer with more header lines or header bytes than these is refused.
constexpr size_t kProxyMaxHeaderLines = 100;
constexpr size_t kProxyMaxHeaderBytes = 64 * 1024;
// A body larger than this is not waited for: the answer is refused.
constexpr long long kProxyMaxBodyBytes = 1024 * 1024;

struct ProxyHttpHeader {
    std::string key;
    std::string value;
};

struct ProxyHttpResponse {
    int status = 0;
    bool http10 = false;  // "HTTP/1.0" in the status line
    std::vector<ProxyHttpHeader> headers;  // in arrival order

    // The value of the first header whose key is exactly `key` (case
    // included), or null.
    const std::string* Find(std::string_view key) const;
    // Whether the proxy keeps the connection open after this answer:
    // HTTP/1.1 unless a Connection or Proxy-Connection header says "close",
    // HTTP/1.0 only when one says "keep-alive".
    bool KeepsAlive() const;
};

// The status code of a status line of the form "HTTP/x.y code ...": 0 and
// `code` set, or PROXY_ERR_FAIL when the line does not have that form.
int CORVProxyGetHttpResponseCode(std::string_view line, int* code, bool* http10 = nullptr);

// Reads header lines up to the blank line that ends them, stripping
// trailing white space; "key: value" lines are added to `response` (the
// value without its leading blanks; lines without ':', with an empty key or
// nothing after the colon are skipped). 0, or PROXY_ERR_FAIL for a line that
// cannot be read and for more than kProxyMaxHeaderLines lines or
// kProxyMaxHeaderBytes bytes.
int CORVProxyClientParseHttpHeader(int sock, ProxyHttpResponse& response);

// Reads a whole answer: status line, headers, and the body, which is skipped
// by "Content-Length" when not 0, else up to CR LF CR LF when there is a
// "Content-Type", else not at all (header names compared exactly). A 200 has
// no body: what follows its headers is the tunnel's. 0 or PROXY_ERR_FAIL.
int ReadProxyResponse(int sock, ProxyHttpResponse& response);
