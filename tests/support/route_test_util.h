// Settings records and a round-trip check for tests of the route channels.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "net/channel.h"
#include "net/connection_info.h"

namespace tidewell::testing {

// A proxy on 127.0.0.1 with domain "corp" and host "ws-7".
inline ProxyInfo LoopbackProxy(int port, const char* user = "alice", const char* password = "secret") {
    ProxyInfo info;
    info.use_proxy = true;
    info.proxy_ip = "127.0.0.1";
    info.proxy_port = static_cast<uint16_t>(port);
    info.user_name = user;
    info.password = password;
    info.domain = "corp";
    info.host = "ws-7";
    return info;
}

inline TunnelInfo LoopbackTunnel(int port) {
    TunnelInfo info;
    info.use_tunnel = true;
    info.tunnel_ip = "127.0.0.1";
    info.tunnel_port = static_cast<uint16_t>(port);
    return info;
}

// Writes `text` and expects it back (from an echo server behind the route).
inline void ExpectRoundTrip(Channel& channel, const std::string& text) {
    ASSERT_EQ(channel.Write(text.data(), text.size()), 0);
    ASSERT_EQ(channel.FlushWrite(0), 0);
    std::string back(text.size(), '\0');
    ASSERT_EQ(channel.Read(back.data(), back.size()), 0);
    EXPECT_EQ(back, text);
}

}  // namespace tidewell::testing
