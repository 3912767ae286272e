#include "net/proxy_response.h"


#include "net/ascii_text.h"
#include "net/proxy_io.h"
#include "net/proxy_log.h"

namespace {

// Whether the comma-separated list `value` holds `token`, ignoring case.
bool HasToken(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        while (!item.empty() && AsciiIsSpace(item.front())) item.remove_prefix(1);
        while (!item.empty() && AsciiIsSpace(item.back())) item.remove_suffix(1);
        if (AsciiEqualsNoCase(item, token)) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

// A header line without its line end and trailing blanks, split into the
// response's list when it is of the form "key: value".
void AddHeaderLine(std::string_view line, ProxyHttpResponse& response) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (value.empty()) return;
    response.headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
}

// A "Content-Length" value: decimal digits only. -1 when it is not one.
long long ParseLength(const std::string& value) {
    if (value.empty() || value.size() > 18) return -1;
    long long n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

const std::string* ProxyHttpResponse::Find(std::string_view key) const {
    for (const ProxyHttpHeader& h : headers) {
        if (h.key == key) return &h.value;
    }
    return nullptr;
}

bool ProxyHttpResponse::KeepsAlive() const {
    bool close = false;
    bool keep = false;
    for (const ProxyHttpHeader& h : headers) {
        if (!AsciiEqualsNoCase(h.key, "Connection") && !AsciiEqualsNoCase(h.key, "Proxy-Connection")) continue;
        if (HasToken(h.value, "close")) close = true;
        if (HasToken(h.value, "keep-alive")) keep = true;
    }
    if (close) return false;
    return http10 ? keep : true;
}

int CORVProxyGetHttpResponseCode(std::string_view line, int* code, bool* http10) {
    // "HTTP/", one character, ".", one character, blanks, then the number.
    if (line.size() < 10 || line.substr(0, 5) != "HTTP/" || AsciiIsSpace(line[5]) || line[6] != '.' ||
        AsciiIsSpace(line[7]) || !AsciiIsSpace(line[8])) {
        return PROXY_ERR_FAIL;
    }
    size_t at = 8;
    if (!AsciiParseInt(line, at, code)) return PROXY_ERR_FAIL;
    if (http10) *http10 = line.substr(5, 3) == "1.0";
    return 0;
}

int CORVProxyClientParseHttpHeader(int sock, ProxyHttpResponse& response) {
    char line[kProxyHeaderLineSize];
    size_t lines = 0;
    size_t bytes = 0;
    for (;;) {
        int n = CORVProxyClientReadOneLine(sock, line, sizeof line);
        if (n < 0) {
            ProxyLog(PROXY_WARNING, "cannot read a header line (%d)\n", n);
            return PROXY_ERR_FAIL;
        }
        size_t len = static_cast<size_t>(n);
        bytes += len;
        while (len > 0 && AsciiIsSpace(line[len - 1])) --len;
        if (len == 0) return 0;
        if (++lines > kProxyMaxHeaderLines || bytes > kProxyMaxHeaderBytes) {
            ProxyLog(PROXY_WARNING, "answer headers over %zu lines or %zu bytes\n", kProxyMaxHeaderLines,
                     kProxyMaxHeaderBytes);
            return PROXY_ERR_FAIL;
        }
        AddHeaderLine(std::string_view(line, len), response);
    }
}

int ReadProxyResponse(int sock, ProxyHttpResponse& response) {
    response = ProxyHttpResponse();
    char line[kProxyStatusLineSize];
    int n = CORVProxyClientReadOneLine(sock, line, sizeof line);
    if (n < 0) {
        ProxyLog(PROXY_WARNING, "cannot read the status line (%d)\n", n);
        return PROXY_ERR_FAIL;
    }
    if (CORVProxyGetHttpResponseCode(std::string_view(line, static_cast<size_t>(n)), &response.status,
                                     &response.http10) != 0) {
        ProxyLog(PROXY_WARNING, "not a status line\n");
        return PROXY_ERR_FAIL;
    }
    if (CORVProxyClientParseHttpHeader(sock, response) != 0) return PROXY_ERR_FAIL;
    // The tunnel starts right after a 200's headers; whatever the headers
    // claim, nothing there is the proxy's.
    if (response.status == 200) return 0;
    long long length = 0;
    if (const std::string* value = response.Find("Content-Length")) {
        length = ParseLength(*value);
        if (length < 0) {
            ProxyLog(PROXY_WARNING, "bad Content-Length \"%s\"\n", value->c_str());
            return PROXY_ERR_FAIL;
        }
        if (length == 0) return 0;
    } else if (response.Find("Content-Type") == nullptr) {
        return 0;
    }
    if (CORVProxyClientClearHttpContentByLength(sock, length, kProxyMaxBodyBytes) != 0) {
        ProxyLog(PROXY_WARNING, "cannot skip the answer's body\n");
        return PROXY_ERR_FAIL;
    }
    return 0;
}
