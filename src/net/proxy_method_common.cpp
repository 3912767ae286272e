// What the authentication methods share: their parameter check, the scheme
// test of a challenge header, and one request with its answer.
#include "net/ascii_text.h"
#include "net/proxy_auth.h"
#include "net/proxy_io.h"

namespace {

bool Present(const char* s) {
    return s != nullptr && s[0] != '\0';
}

}  // namespace

bool ProxyOffersScheme(const std::string& value, std::string_view scheme) {
    return AsciiStartsWithNoCase(value, scheme) && (value.size() == scheme.size() || value[scheme.size()] == ' ');
}

bool auth_parameter_valid_check(const ProxyAttempt& attempt) {
    return Present(attempt.target.szTargetAddress) && Present(attempt.auth.szUserName) &&
           attempt.auth.szUserPasswd != nullptr && attempt.auth.szDomainName != nullptr &&
           attempt.auth.szHostName != nullptr;
}

int ProxyExchange(ProxyAttempt& attempt, const std::string& request, ProxyHttpResponse& response) {
    if (CORVProxyClientPacketSend(attempt.sock, request.data(), request.size()) != 0) return PROXY_ERR_FAIL;
    return ReadProxyResponse(attempt.sock, response);
}
