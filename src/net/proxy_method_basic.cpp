#include "net/proxy_auth.h"
#include "net/proxy_io.h"
#include "net/proxy_log.h"
#include "net/proxy_request.h"

namespace {

bool OffersBasic(const ProxyHttpResponse& response) {
    for (const ProxyHttpHeader& h : response.headers) {
        if (h.key == "Proxy-Authenticate" && ProxyOffersScheme(h.value, "Basic")) return true;
    }
    return false;
}

}  // namespace

int CORVProxyClientHandleBASICAuth(ProxyAttempt& attempt) {
    if (!auth_parameter_valid_check(attempt)) return PROXY_ERR_PARAM;

    // Ask without credentials first: a proxy that needs none, or only NTLM,
    // never sees the password.
    std::string request;
    if (ProxyPlainRequest(attempt.target, request) != 0) return PROXY_ERR_FAIL;
    ProxyHttpResponse response;
    if (ProxyExchange(attempt, request, response) != 0) return PROXY_ERR_FAIL;
    if (response.status == 200) return 0;
    if (response.status != 407) {
        ProxyLog(PROXY_INFO, "Basic attempt: status %d\n", response.status);
        return PROXY_ERR_STATUS;
    }
    if (!OffersBasic(response)) {
        ProxyLog(PROXY_INFO, "Basic attempt: the proxy does not offer Basic\n");
        return PROXY_ERR_NEED_AUTH;
    }

    if (!response.KeepsAlive() || ProxyPeerHasClosed(attempt.sock)) {
        int sock = CORVProxyConnect(attempt.server.szProxyAddress, attempt.server.ProxyPort);
        if (sock < 0) return PROXY_ERR_FAIL;
        CORVProxyTunnelClose(attempt.sock);
        attempt.sock = sock;
    }
    if (ProxyAuthRequest(attempt.target, "Basic",
                         ProxyBasicCredential(attempt.auth.szUserName, attempt.auth.szUserPasswd), request) != 0) {
        return PROXY_ERR_RESOURCE;
    }
    if (ProxyExchange(attempt, request, response) != 0) return PROXY_ERR_AUTH;
    if (response.status == 200) return 0;
    ProxyLog(PROXY_INFO, "Basic attempt: status %d with credentials\n", response.status);
    return PROXY_ERR_AUTH;
}
