#include "net/proxy_request.h"

#include "net/base64.h"

namespace {

// The request without its final blank line.
std::string RequestHead(const PROXY_TARGET_INFO& target) {
    std::string where = std::string(target.szTargetAddress) + ":" + std::to_string(target.TargetPort);
    return "CONNECT " + where + " HTTP/1.1\r\nProxy-Connection: Keep-Alive\r\nHost: " + where +
           "\r\nContent-Length: 0\r\n";
}

int Finish(std::string text, std::string& out) {
    if (text.size() > kProxyRequestLimit) return PROXY_ERR_RESOURCE;
    out = std::move(text);
    return 0;
}

}  // namespace

int ProxyPlainRequest(const PROXY_TARGET_INFO& target, std::string& out) {
    return Finish(RequestHead(target) + "\r\n", out);
}

int ProxyAuthRequest(const PROXY_TARGET_INFO& target, std::string_view scheme, std::string_view credential,
                     std::string& out) {
    std::string text = RequestHead(target);
    text.append("Proxy-Authorization: ").append(scheme).append(" ").append(credential).append("\r\n\r\n");
    return Finish(std::move(text), out);
}

std::string ProxyBasicCredential(std::string_view user, std::string_view password) {
    std::string pair;
    pair.append(user).append(":").append(password);
    return Base64Encode(pair.data(), pair.size());
}
