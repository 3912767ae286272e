#include "net/proxy_tunnel_channel.h"

#include "base/logger.h"
#include "net/relay_upgrade.h"

namespace {

const char* const kComponent = "channel_debug";

}  // namespace

ProxyTunnelChannel::ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel)
    : ProxyChannel(proxy), tunnel_address(tunnel.tunnel_ip), tunnel_port(tunnel.tunnel_port) {}

int ProxyTunnelChannel::Open(const char* ip, int port) {
    if (ProxyChannel::Open(tunnel_address.c_str(), tunnel_port) != 0) {
        TW_ERROR(kComponent, "Open proxy failed\n");
        TW_ERROR(kComponent, "ProxyTunnelChannel[%d]: ret = %d\n", __LINE__, ERR_IO);
        return ERR_IO;
    }
    int ret = RunRelayUpgrade(m_ops.get_fd(m_ops.context), ip, port, m_timeout, channel_timeout, flag,
                              TW_RELAY_UPGRADE_LOGGER(kComponent));
    if (ret != 0) {
        Close();
        TW_ERROR(kComponent, "ProxyTunnelChannel[%d]: ret = %d\n", __LINE__, ERR_IO);
        return ERR_IO;
    }
    ClearRead();
    ClearWrite();
    TW_ERROR(kComponent, "ProxyTunnelChannel[%d]: ret = %d\n", __LINE__, 0);
    return 0;
}
