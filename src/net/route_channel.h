// The one place that decides which channel type a connection's route needs.
// Only the presence of the records decides, not their flags: the control
// actions pass a record only when it is to be used.
#pragma once

#include <memory>

#include "net/channel.h"
#include "net/connection_info.h"

// Every pooled channel has buffers of this size, whatever its route.
constexpr size_t kRouteChannelCapacity = 81920;

// A new, unconnected channel for the route given by `proxy` and `tunnel`
// (null: not on the route).
std::unique_ptr<Channel> MakeRouteChannel(const ProxyInfo* proxy, const TunnelInfo* tunnel);
