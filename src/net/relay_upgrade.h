// The relay part of opening a tunnel channel, on a socket already connected
// to the relay (directly or through a proxy): an SSL session with the relay
// (its certificate is not checked), the upgrade request, then the SSL state
// dropped without a close notification, so that the same TCP stream carries
// the target's traffic from its first byte.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>

#include "base/logger.h"
#include "net/channel.h"

enum class RelayUpgradeStep {
    kInitSsl,
    kSetFd,
    kSslHandshake,
    kRelayHandshake,
};

// Called once at the failing step, before the SSL state is freed, with the
// step's result (for kRelayHandshake the relay client's result); the caller
// logs it in its own words. After kSetFd the OpenSSL error queue is logged.
using RelayUpgradeReport = std::function<void(RelayUpgradeStep step, int code)>;

// The report that logs each step's failure at error level under
// `component`, as from the file that expands it.
#define TW_RELAY_UPGRADE_LOGGER(component)                                              \
    [](RelayUpgradeStep step, int code) {                                               \
        switch (step) {                                                                 \
            case RelayUpgradeStep::kInitSsl:                                            \
                TW_ERROR(component, "Open: init ssl failed\n");                         \
                break;                                                                  \
            case RelayUpgradeStep::kSetFd:                                              \
                TW_ERROR(component, "set fd failed\n");                                 \
                break;                                                                  \
            case RelayUpgradeStep::kSslHandshake:                                       \
                TW_ERROR(component, "Open to SSL connect to tunnel failed\n");          \
                break;                                                                  \
            case RelayUpgradeStep::kRelayHandshake:                                     \
                TW_ERROR(component, "CORVTunnelClientHandshake: failed, code: %d\n", code); \
                break;                                                                  \
        }                                                                               \
    }

// 0 on success; otherwise the failing step's result, never 0. The socket is
// left open either way; no SSL object outlives the call.
int RunRelayUpgrade(SOCKET fd, const char* ip, int port, timeval timeout, uint32_t channel_timeout, int* abort_flag,
                    const RelayUpgradeReport& report);
