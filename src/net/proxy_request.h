// The CONNECT request texts sent to an HTTP proxy.
#pragma once

#include <string>
#include <string_view>

#include "net/proxy_client.h"

// Every request text must fit this many bytes.
constexpr size_t kProxyRequestLimit = 8192;

// The plain request:
//   "CONNECT host:port HTTP/1.1", "Proxy-Connection: Keep-Alive",
//   "Host: host:port", "Content-Length: 0", then the blank line.
// 0, or PROXY_ERR_RESOURCE when it would exceed kProxyRequestLimit.
int ProxyPlainRequest(const PROXY_TARGET_INFO& target, std::string& out);

// The same request carrying "Proxy-Authorization: <scheme> <credential>"
// (scheme "Basic" or "NTLM") after its other headers. 0 or
// PROXY_ERR_RESOURCE.
int ProxyAuthRequest(const PROXY_TARGET_INFO& target, std::string_view scheme, std::string_view credential,
                     std::string& out);

// The Basic credential: Base64 of "user:password".
std::string ProxyBasicCredential(std::string_view user, std::string_view password);
