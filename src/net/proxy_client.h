// The HTTP proxy client: opens a TCP connection to an HTTP proxy, asks it
// with CONNECT for a byte tunnel to a target, authenticates when the proxy
// demands it (none, Basic, NTLMv1, NTLMv2, or all four at once in the
// automatic mode) and hands the connected socket back. From then on the
// caller uses the socket as a plain byte stream to the target.
//
// Plain functions over raw sockets, with their own time limits and result
// codes; no state is kept between calls apart from the message callback.
// Any number of threads may open tunnels at the same time.
#pragma once

#include <cstdarg>
#include <cstdint>

enum PROXY_AUTH_TYPE {
    PROXY_NO_AUTH = 0,
    PROXY_BASIC_AUTH = 1,
    PROXY_NTLM_AUTH = 2,  // NTLMv1
    PROXY_NTLMv2_AUTH = 3,
    PROXY_AUTO_AUTH = 4,
};

// Result codes of the library's functions; 0 or a socket (>= 0) is success.
enum {
    PROXY_ERR_FAIL = -1,       // I/O, time limit, unreadable response, no method succeeded
    PROXY_ERR_AUTH = -2,       // authentication failed
    PROXY_ERR_NEED_AUTH = -3,  // the proxy wants what this attempt cannot give; unknown method
    PROXY_ERR_RESOURCE = -4,   // resource or encoding failure, a request over its size limit
    PROXY_ERR_STATUS = -5,     // unexpected status code or invalid challenge
    PROXY_ERR_PARAM = -6,      // bad parameter
    PROXY_ERR_LINE = -8,       // a line longer than its buffer
};

// Message levels of the callback.
enum {
    PROXY_EMERG = 0,
    PROXY_ALERT = 1,
    PROXY_CRIT = 2,
    PROXY_ERR = 3,
    PROXY_WARNING = 4,
    PROXY_NOTICE = 5,
    PROXY_INFO = 6,
    PROXY_DEBUG = 7,
};

struct PROXY_SERVER_INFO {
    const char* szProxyAddress;  // host name or dotted IPv4 address
    uint16_t ProxyPort;
};

struct PROXY_TARGET_INFO {
    const char* szTargetAddress;  // written into the request as given
    uint16_t TargetPort;
};

// The caller's credentials, UTF-8.
struct PROXY_AUTH_INFO {
    const char* szUserName;
    const char* szUserPasswd;
    const char* szUserDomain;
    const char* szUserHost;
    PROXY_AUTH_TYPE AuthType;
};

// A socket connected through the proxy to the target (non-blocking, linger
// 1 s, TCP_NODELAY); PROXY_ERR_PARAM when the proxy or target address is
// missing or empty, the record is missing, or one of its four strings is null
// (empty strings are allowed); PROXY_ERR_AUTH when no attempt succeeded. When
// `method` is given it receives the method that opened the tunnel.
int CORVProxyTunnelOpen(const PROXY_SERVER_INFO* server, const PROXY_TARGET_INFO* target,
                        const PROXY_AUTH_INFO* auth, PROXY_AUTH_TYPE* method = nullptr);

// Shuts a tunnel's socket down in both directions and closes it.
void CORVProxyTunnelClose(int socket);

// A TCP connection to the proxy (name looked up, IPv4), or PROXY_ERR_FAIL.
int CORVProxyConnect(const char* pszProxyServer, uint16_t ProxyPort);

// The display name of a method ("NO Auth", "BASIC Auth", ...).
const char* CORVProxyAuthName(PROXY_AUTH_TYPE type);

// Receives the library's diagnostics: level, the component "proxy_debug",
// a printf format (UTF-8) and its arguments. Null (the start state) drops
// them. May be called at any time from any thread.
using PROXY_LOG_CB = void (*)(int level, const char* component, const char* format, va_list args);
void CORVProxyInitLogger(PROXY_LOG_CB callback);
