#include "net/proxy_channel.h"

#include "base/logger.h"

namespace {

const char* const kComponent = "channel_debug";

}  // namespace

ProxyChannel::ProxyChannel(const ProxyInfo& info)
    : Channel(kDefaultCapacity),
      proxy_address(info.proxy_ip),
      proxy_port(info.proxy_port),
      user_name(info.user_name),
      user_password(info.password),
      user_domain(info.domain),
      user_host(info.host) {}

int ProxyChannel::Open(const char* ip, int port) {
    if (!m_ops.isInvalid(m_ops.context)) {
        TW_WARNING(kComponent, "Open: Channel already opened [%d]\n", m_ops.get_fd(m_ops.context));
        return ERR_IO;
    }
    int sock = PROXY_ERR_PARAM;
    if (ip != nullptr && port > 0 && port <= 65535) {
        PROXY_SERVER_INFO server{proxy_address.c_str(), proxy_port};
        PROXY_TARGET_INFO target{ip, static_cast<uint16_t>(port)};
        PROXY_AUTH_INFO auth{user_name.c_str(), user_password.c_str(), user_domain.c_str(), user_host.c_str(),
                             PROXY_AUTO_AUTH};
        sock = CORVProxyTunnelOpen(&server, &target, &auth, &proxy_method);
    }
    ClearRead();
    ClearWrite();
    if (sock < 0) {
        TW_ERROR(kComponent, "ProxyChannel::Open: fail to connect to proxy server (%s:%d)\n", proxy_address.c_str(),
                 proxy_port);
        return ERR_IO;
    }
    TW_WARNING(kComponent, "ProxyChannel::Open: socket %d has been connect to proxy (%s:%d)\n", sock,
               proxy_address.c_str(), proxy_port);
    m_ops.context = new SOCKET(sock);
    return 0;
}
