// The authentication methods of the proxy client and what one attempt works
// on. Each method runs on one connection to the proxy and leaves it, on
// success, at the first byte of the tunnel.
#pragma once

#include "net/proxy_client.h"
#include "net/proxy_response.h"

// The working credentials of one attempt: the caller's strings (not copies)
// and the switches that choose the NTLM responses, which the NTLM methods
// set on their own copy.
struct CORV_PROXY_AUTH_DATA {
    const char* szUserName = nullptr;
    const char* szUserPasswd = nullptr;
    const char* szDomainName = nullptr;
    const char* szHostName = nullptr;
    int hashntlm2 = 0;  // NTLMv2 responses
    int hashnt = 0;     // NTLMv1 NT response
    int hashlm = 0;     // NTLMv1 LM response
};

// One attempt: its connection to the proxy, which a method may replace with
// a new one (Basic, after a 407 that closes the connection), and what it
// reaches through it.
struct ProxyAttempt {
    int sock = -1;
    PROXY_SERVER_INFO server{};
    PROXY_TARGET_INFO target{};
    CORV_PROXY_AUTH_DATA auth;
};

// 0 or more: the tunnel is open on `attempt.sock`; negative: a result code.
using PROXY_AUTH_CB = int (*)(ProxyAttempt& attempt);

struct CORV_PROXY_AUTH_CONTROL {
    PROXY_AUTH_TYPE type;
    const char* auth_str;
    PROXY_AUTH_CB auth_cb;
};

// The methods in the automatic mode's order of preference.
extern const CORV_PROXY_AUTH_CONTROL AuthControlList[4];

// The plain request; 200 opens the tunnel, 407 is PROXY_ERR_NEED_AUTH.
int CORVProxyClientHandleNoAuth(ProxyAttempt& attempt);
// The plain request first; Basic credentials only after a 407 that offers
// Basic, on the same connection when the proxy keeps it, else on a new one.
int CORVProxyClientHandleBASICAuth(ProxyAttempt& attempt);
// Negotiate, challenge and authenticate on one connection.
int CORVProxyClientHandleNTLMv1Auth(ProxyAttempt& attempt);
int CORVProxyClientHandleNTLMv2Auth(ProxyAttempt& attempt);

// Target address non-empty, user name non-empty, the other three strings
// present.
bool auth_parameter_valid_check(const ProxyAttempt& attempt);

// Whether a "Proxy-Authenticate" value offers `scheme` (case ignored): the
// value is the scheme alone or the scheme, a blank and its parameters.
bool ProxyOffersScheme(const std::string& value, std::string_view scheme);

// Sends `request` on the attempt's connection and reads the answer. 0 or
// PROXY_ERR_FAIL.
int ProxyExchange(ProxyAttempt& attempt, const std::string& request, ProxyHttpResponse& response);

// One method on a new connection: the socket, PROXY_ERR_PARAM, or
// PROXY_ERR_AUTH (the connection is closed).
int HandleProxyAuthByProto(PROXY_AUTH_TYPE type, const PROXY_SERVER_INFO& server, const PROXY_TARGET_INFO& target,
                           const CORV_PROXY_AUTH_DATA& auth);

// All four methods at once, each on its own connection and thread; the
// first success in table order wins and the other sockets are closed. The
// socket, or PROXY_ERR_FAIL when none succeeded. Returns when all four
// attempts have ended.
int HandleProxyAnyAuth(const PROXY_SERVER_INFO& server, const PROXY_TARGET_INFO& target,
                       const CORV_PROXY_AUTH_DATA& auth, PROXY_AUTH_TYPE* won);
