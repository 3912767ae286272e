// Opening a tunnel: the parameter checks, one method on one connection, and
// the automatic mode that runs all four methods at once.
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <thread>

#include "net/proxy_auth.h"
#include "net/proxy_io.h"
#include "net/proxy_log.h"

const CORV_PROXY_AUTH_CONTROL AuthControlList[4] = {
    {PROXY_NO_AUTH, "NO Auth", CORVProxyClientHandleNoAuth},
    {PROXY_BASIC_AUTH, "BASIC Auth", CORVProxyClientHandleBASICAuth},
    {PROXY_NTLM_AUTH, "NTLMv1 Auth", CORVProxyClientHandleNTLMv1Auth},
    {PROXY_NTLMv2_AUTH, "NTLMv2 Auth", CORVProxyClientHandleNTLMv2Auth},
};

namespace {

bool Present(const char* s) {
    return s != nullptr && s[0] != '\0';
}

// A target address goes into the request line and a header as it is: a
// blank or control character would end or split them.
bool PrintableToken(const char* s) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        if (*p <= 0x20 || *p == 0x7f) return false;
    }
    return true;
}

bool AddressesValid(const PROXY_SERVER_INFO& server, const PROXY_TARGET_INFO& target) {
    return Present(server.szProxyAddress) && Present(target.szTargetAddress) && PrintableToken(target.szTargetAddress);
}

bool CredentialsPresent(const CORV_PROXY_AUTH_DATA& auth) {
    return auth.szUserName && auth.szUserPasswd && auth.szDomainName && auth.szHostName;
}

}  // namespace

const char* CORVProxyAuthName(PROXY_AUTH_TYPE type) {
    for (const CORV_PROXY_AUTH_CONTROL& row : AuthControlList) {
        if (row.type == type) return row.auth_str;
    }
    return type == PROXY_AUTO_AUTH ? "AUTO Auth" : "unknown";
}

void CORVProxyTunnelClose(int socket) {
    if (socket < 0) return;
    if (shutdown(socket, SHUT_RDWR) != 0) ProxyLog(PROXY_DEBUG, "shutdown of socket %d failed\n", socket);
    close(socket);
}

int HandleProxyAuthByProto(PROXY_AUTH_TYPE type, const PROXY_SERVER_INFO& server, const PROXY_TARGET_INFO& target,
                           const CORV_PROXY_AUTH_DATA& auth) {
    if (!AddressesValid(server, target) || !CredentialsPresent(auth)) return PROXY_ERR_PARAM;
    const CORV_PROXY_AUTH_CONTROL* row = nullptr;
    for (const CORV_PROXY_AUTH_CONTROL& r : AuthControlList) {
        if (r.type == type) row = &r;
    }
    if (row == nullptr) {
        ProxyLog(PROXY_ERR, "unknown proxy authentication method %d\n", static_cast<int>(type));
        return PROXY_ERR_AUTH;
    }
    ProxyAttempt attempt;
    attempt.server = server;
    attempt.target = target;
    attempt.auth = auth;
    attempt.sock = CORVProxyConnect(server.szProxyAddress, server.ProxyPort);
    if (attempt.sock < 0) return PROXY_ERR_AUTH;
    int ret = row->auth_cb(attempt);
    if (ret >= 0) {
        ProxyLog(PROXY_INFO, "%s: tunnel to %s:%d open\n", row->auth_str, target.szTargetAddress, target.TargetPort);
        return attempt.sock;
    }
    ProxyLog(PROXY_INFO, "%s: failed (%d)\n", row->auth_str, ret);
    CORVProxyTunnelClose(attempt.sock);
    return PROXY_ERR_AUTH;
}

int HandleProxyAnyAuth(const PROXY_SERVER_INFO& server, const PROXY_TARGET_INFO& target,
                       const CORV_PROXY_AUTH_DATA& auth, PROXY_AUTH_TYPE* won) {
    if (!AddressesValid(server, target)) return PROXY_ERR_PARAM;
    constexpr size_t kRows = sizeof AuthControlList / sizeof AuthControlList[0];
    int results[kRows];
    std::thread threads[kRows];
    for (size_t i = 0; i < kRows; ++i) {
        results[i] = PROXY_ERR_FAIL;
        try {
            threads[i] = std::thread([&, i] {
                results[i] = HandleProxyAuthByProto(AuthControlList[i].type, server, target, auth);
            });
        } catch (const std::system_error& e) {
            ProxyLog(PROXY_ERR, "%s: cannot start its thread: %s\n", AuthControlList[i].auth_str, e.what());
        }
    }
    int chosen = PROXY_ERR_FAIL;
    for (size_t i = 0; i < kRows; ++i) {
        if (threads[i].joinable()) threads[i].join();
        if (results[i] < 0) continue;
        if (chosen < 0) {
            chosen = results[i];
            if (won) *won = AuthControlList[i].type;
        } else {
            CORVProxyTunnelClose(results[i]);
        }
    }
    return chosen;
}

int CORVProxyTunnelOpen(const PROXY_SERVER_INFO* server, const PROXY_TARGET_INFO* target,
                        const PROXY_AUTH_INFO* auth, PROXY_AUTH_TYPE* method) {
    if (server == nullptr || target == nullptr || auth == nullptr || !AddressesValid(*server, *target)) {
        return PROXY_ERR_PARAM;
    }
    CORV_PROXY_AUTH_DATA data;
    data.szUserName = auth->szUserName;
    data.szUserPasswd = auth->szUserPasswd;
    data.szDomainName = auth->szUserDomain;
    data.szHostName = auth->szUserHost;
    if (!CredentialsPresent(data)) return PROXY_ERR_PARAM;
    int ret;
    if (auth->AuthType == PROXY_AUTO_AUTH) {
        ret = HandleProxyAnyAuth(*server, *target, data, method);
    } else {
        ret = HandleProxyAuthByProto(auth->AuthType, *server, *target, data);
        if (ret >= 0 && method) *method = auth->AuthType;
    }
    return ret < 0 ? PROXY_ERR_AUTH : ret;
}
