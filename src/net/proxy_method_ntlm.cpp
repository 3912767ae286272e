#include "net/base64.h"
#include "net/ntlm_message.h"
#include "net/proxy_auth.h"
#include "net/proxy_log.h"
#include "net/proxy_request.h"

namespace {

NtlmCredentials CredentialsOf(const CORV_PROXY_AUTH_DATA& auth) {
    return NtlmCredentials{auth.szUserName, auth.szUserPasswd, auth.szDomainName, auth.szHostName};
}

// The challenge step after a 407: answer the proxy's NTLM challenge on the
// same connection. 0 when the proxy then opens the tunnel.
int CORVProxyClientHandleNTLMResponse(ProxyAttempt& attempt, const ProxyHttpResponse& first) {
    const std::string* challenge_text = nullptr;
    for (const ProxyHttpHeader& h : first.headers) {
        if (h.key == "Proxy-Authenticate" && h.value.size() > 5 && ProxyOffersScheme(h.value, "NTLM")) {
            challenge_text = &h.value;
            break;
        }
    }
    if (challenge_text == nullptr) {
        ProxyLog(PROXY_INFO, "NTLM attempt: no NTLM challenge\n");
        return PROXY_ERR_NEED_AUTH;
    }
    // The challenge belongs to this connection; a proxy that closes it
    // cannot take the answer.
    if (!first.KeepsAlive()) {
        ProxyLog(PROXY_INFO, "NTLM attempt: the proxy closes the connection after its challenge\n");
        return PROXY_ERR_AUTH;
    }
    std::string message;
    if (!Base64Decode(std::string_view(*challenge_text).substr(5), message)) {
        ProxyLog(PROXY_WARNING, "NTLM attempt: the challenge is not Base64\n");
        return PROXY_ERR_STATUS;
    }
    NtlmChallenge challenge;
    int ret = NtlmParseChallenge(message, challenge);
    if (ret != 0) return ret;

    std::string authenticate;
    ret = NtlmBuildAuthenticate(CredentialsOf(attempt.auth), attempt.auth.hashntlm2 != 0, challenge,
                                NtlmSystemEntropy(), authenticate);
    if (ret != 0) return ret;
    std::string request;
    if (ProxyAuthRequest(attempt.target, "NTLM", Base64Encode(authenticate.data(), authenticate.size()), request) !=
        0) {
        ProxyLog(PROXY_ERR, "NTLM attempt: the authenticate request is over %zu bytes\n", kProxyRequestLimit);
        return PROXY_ERR_RESOURCE;
    }
    ProxyHttpResponse response;
    if (ProxyExchange(attempt, request, response) != 0) return PROXY_ERR_FAIL;
    if (response.status == 200) return 0;
    ProxyLog(PROXY_INFO, "NTLM attempt: status %d after authenticating\n", response.status);
    return PROXY_ERR_AUTH;
}

int HandleNtlm(ProxyAttempt& attempt, bool v2) {
    if (!auth_parameter_valid_check(attempt)) return PROXY_ERR_PARAM;
    if (v2) {
        attempt.auth.hashntlm2 = 1;
    } else {
        attempt.auth.hashnt = 1;
        attempt.auth.hashlm = 1;
    }
    std::string negotiate;
    if (NtlmBuildNegotiate(CredentialsOf(attempt.auth), v2, negotiate) != 0) return PROXY_ERR_RESOURCE;
    std::string request;
    if (ProxyAuthRequest(attempt.target, "NTLM", Base64Encode(negotiate.data(), negotiate.size()), request) != 0) {
        return PROXY_ERR_RESOURCE;
    }
    ProxyHttpResponse response;
    if (ProxyExchange(attempt, request, response) != 0) return PROXY_ERR_FAIL;
    if (response.status == 200) return 0;
    if (response.status != 407) {
        ProxyLog(PROXY_INFO, "NTLM attempt: status %d\n", response.status);
        return PROXY_ERR_STATUS;
    }
    int ret = CORVProxyClientHandleNTLMResponse(attempt, response);
    if (ret == 0) return 0;
    ProxyLog(PROXY_INFO, "NTLM attempt: challenge step failed (%d)\n", ret);
    return PROXY_ERR_AUTH;
}

}  // namespace

int CORVProxyClientHandleNTLMv1Auth(ProxyAttempt& attempt) {
    return HandleNtlm(attempt, false);
}

int CORVProxyClientHandleNTLMv2Auth(ProxyAttempt& attempt) {
    return HandleNtlm(attempt, true);
}
