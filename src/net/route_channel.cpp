#include "net/route_channel.h"

#include "net/proxy_channel.h"
#include "net/proxy_tunnel_channel.h"
#include "net/tunnel_channel.h"

std::unique_ptr<Channel> MakeRouteChannel(const ProxyInfo* proxy, const TunnelInfo* tunnel) {
    if (proxy != nullptr && tunnel != nullptr) return std::make_unique<ProxyTunnelChannel>(*proxy, *tunnel);
    if (proxy != nullptr) return std::make_unique<ProxyChannel>(*proxy);
    if (tunnel != nullptr) return std::make_unique<TunnelChannel>(*tunnel);
    return std::make_unique<Channel>(kRouteChannelCapacity);
}
