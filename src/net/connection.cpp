#include "net/connection.h"

#include "base/logger.h"

Connection::Connection() {
    clear();
}

Connection::Connection(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel)
    : pool(std::make_shared<ChannelPool>(kPoolSize, proxy, tunnel)), conn_info(info) {
    if (proxy != nullptr) proxy_info = *proxy;
    if (tunnel != nullptr) tunnel_info = *tunnel;
}

void Connection::clear() {
    pool.reset();
    VersionInfo version = conn_info.version_info;
    conn_info = ConnectionInfo();
    conn_info.version_info = version;
    conn_info.use_ssl = true;
    conn_info.ssl_allow_untrust = false;
    conn_info.linked = 0;
    proxy_info.clear();
    tunnel_info.clear();
}

ChannelStat Connection::pop() {
    if (pool == nullptr) return ChannelStat();
    return pool->pop();
}

bool Connection::pop(ChannelStat& slot, const std::function<bool()>& stop) {
    if (pool == nullptr) {
        slot = ChannelStat();
        return true;
    }
    return pool->pop(slot, stop);
}

void Connection::push(const ChannelStat& slot) {
    if (pool != nullptr && slot.channel != nullptr) pool->push(slot);
}

void Connection::update(const ChannelStat& slot) {
    if (pool != nullptr && slot.channel != nullptr) pool->update(slot);
}

bool Connection::isConnected2() {
    if (pool == nullptr) {
        TW_ERROR("connection_debug", "no connection pool!\n");
        return false;
    }
    return pool->isConnected2();
}
