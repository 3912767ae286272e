#include "net/proxy_auth.h"
#include "net/proxy_log.h"
#include "net/proxy_request.h"

int CORVProxyClientHandleNoAuth(ProxyAttempt& attempt) {
    std::string request;
    if (ProxyPlainRequest(attempt.target, request) != 0) return PROXY_ERR_FAIL;
    ProxyHttpResponse response;
    if (ProxyExchange(attempt, request, response) != 0) return PROXY_ERR_FAIL;
    if (response.status == 200) return 0;
    ProxyLog(PROXY_INFO, "no-auth attempt: status %d\n", response.status);
    return PROXY_ERR_FAIL;
}
