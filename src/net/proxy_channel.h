// A channel to the sync server through an HTTP proxy: the proxy client opens
// a CONNECT tunnel (all authentication methods at once, the first in order
// of preference that succeeds wins) and the channel adopts its socket. Once
// open it reads and writes through the plain I/O set like a directly
// connected channel.
//
// Open blocks its thread while the proxy client's four attempts run.
#pragma once

#include <cstdint>
#include <string>

#include "net/channel.h"
#include "net/connection_info.h"
#include "net/proxy_client.h"

class ProxyChannel : public Channel {
public:
    // The proxy address arrives already chosen; the record's flags are not
    // read.
    explicit ProxyChannel(const ProxyInfo& info);

    using Channel::Open;
    // Reaches `ip`:`port` through the proxy. 0, or ERR_IO (logged with the
    // proxy's address; the channel is left closed).
    int Open(const char* ip, int port) override;

    // The method that opened the current (or last) tunnel.
    PROXY_AUTH_TYPE ProxyMethod() const { return proxy_method; }

protected:
    std::string proxy_address;
    uint16_t proxy_port;
    std::string user_name;
    std::string user_password;
    std::string user_domain;
    std::string user_host;
    PROXY_AUTH_TYPE proxy_method = PROXY_NO_AUTH;
};
