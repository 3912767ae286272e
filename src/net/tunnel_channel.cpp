#include "net/tunnel_channel.h"

#include "base/logger.h"
#include "net/relay_upgrade.h"

namespace {

const char* const kComponent = "channel_debug";

}  // namespace

TunnelChannel::TunnelChannel(const TunnelInfo& info)
    : Channel(kDefaultCapacity), tunnel_address(info.tunnel_ip), tunnel_port(info.tunnel_port) {}

int TunnelChannel::Open(const char* ip, int port) {
    if (ip == nullptr || port < 0) {
        TW_ERROR(kComponent, "Open: no target to reach through the tunnel\n");
        Close();
        return ERR_IO;
    }
    if (Channel::Open(tunnel_address.c_str(), tunnel_port) != 0) {
        TW_ERROR(kComponent, "Connect failed");
        Close();
        return ERR_IO;
    }
    int ret = RunRelayUpgrade(m_ops.get_fd(m_ops.context), ip, port, m_timeout, channel_timeout, flag,
                              TW_RELAY_UPGRADE_LOGGER(kComponent));
    if (ret != 0) {
        Close();
        return ERR_IO;
    }
    ClearRead();
    ClearWrite();
    return 0;
}
