// A channel to the sync server through an HTTP proxy and then the relay
// endpoint: a CONNECT tunnel to the relay, then the relay's upgrade as in
// TunnelChannel on the proxied socket.
#pragma once

#include <cstdint>
#include <string>

#include "net/connection_info.h"
#include "net/proxy_channel.h"

class ProxyTunnelChannel : public ProxyChannel {
public:
    ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel);

    using ProxyChannel::Open;
    // Reaches `ip`:`port` through the proxy and the relay. 0 or ERR_IO; every
    // return is logged with its result.
    int Open(const char* ip, int port) override;

protected:
    std::string tunnel_address;
    uint16_t tunnel_port;
};
