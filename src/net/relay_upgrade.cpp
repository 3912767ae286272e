#include "net/relay_upgrade.h"

#include <openssl/ssl.h>

#include "net/relay_client.h"

int RunRelayUpgrade(SOCKET fd, const char* ip, int port, timeval timeout, uint32_t channel_timeout, int* abort_flag,
                    const RelayUpgradeReport& report) {
    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    int ret = 0;
    if (Channel::InitSSL(ssl, ctx, false, true) != 0) {
        ret = ERR_IO;
        report(RelayUpgradeStep::kInitSsl, ret);
    } else if (SSL_set_fd(ssl, fd) != 1) {
        ret = ERR_IO;
        report(RelayUpgradeStep::kSetFd, ret);
        Channel::log_ssl();
    } else if ((ret = Channel::SSLHandshake(ssl, timeout, channel_timeout, abort_flag)) != 0) {
        report(RelayUpgradeStep::kSslHandshake, ret);
    } else if ((ret = CORVTunnelClientHandshake(ssl, ip, port, timeout, channel_timeout, abort_flag)) != 0) {
        report(RelayUpgradeStep::kRelayHandshake, ret);
    }
    // Quietly: a close notification would reach the relay, which from now
    // on forwards every byte to the target.
    Channel::DeinitSSL(ssl, ctx, true);
    return ret;
}
