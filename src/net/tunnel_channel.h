// A channel to the sync server through the relay endpoint: TCP to the relay,
// an SSL session with it, the upgrade request naming the server, then the
// plain TCP stream to the server. Once open it reads and writes through the
// plain I/O set like a directly connected channel, and the session's own SSL
// conversion runs over it unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "net/channel.h"
#include "net/connection_info.h"

class TunnelChannel : public Channel {
public:
    explicit TunnelChannel(const TunnelInfo& info);

    using Channel::Open;
    // Reaches `ip`:`port` through the relay. 0, or ERR_IO for any failure
    // (one error line names the step; the channel is left closed).
    int Open(const char* ip, int port) override;

    const std::string& TunnelAddress() const { return tunnel_address; }
    uint16_t TunnelPort() const { return tunnel_port; }

protected:
    std::string tunnel_address;  // dotted IPv4: the base connect does not look names up
    uint16_t tunnel_port;
};
