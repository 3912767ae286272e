// One server account that sessions synchronise through: its settings and
// the pool of channels that reach it.
//
// Copies share the pool through a std::shared_ptr (the type behind the
// system's shared_pointer, which lives in a higher layer); the pool goes
// with its last reference, after every channel lent from it has come back. A
// default-constructed connection has no pool: it hands out an empty,
// expired slot whose channel is BadChannel, so a task without a connection
// fails its handshake instead of dereferencing nothing.
//
// Thread safety: a Connection object is used by one thread at a time (the
// manager's copy under the manager's lock, a task's copy by the task); the
// pool it shares is safe for any thread.
#pragma once

#include <functional>
#include <memory>

#include "net/channel_pool.h"
#include "net/channel_stat.h"
#include "net/connection_info.h"

class Connection {
public:
    using ChannelStat = ::ChannelStat;
    using ChannelPool = ::ChannelPool;

    // Channels in the pool of every connection.
    static constexpr size_t kPoolSize = 4;

    // No pool; all settings cleared.
    Connection();
    // A pool of kPoolSize channels for the route (null: no proxy, no
    // tunnel) and copies of the settings; a record not given stays cleared.
    Connection(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel);

    // Drops the pool reference and resets the settings: strings empty,
    // numbers 0, use_ssl true, ssl_allow_untrust false, proxy and tunnel
    // records cleared. version_info is left as it was.
    void clear();

    const ConnectionInfo& getConnectionInfo() const { return conn_info; }
    const ProxyInfo& getProxyInfo() const { return proxy_info; }
    const TunnelInfo& getTunnelInfo() const { return tunnel_info; }
    ConnectionInfo& getConnectionInfo() { return conn_info; }
    ProxyInfo& getProxyInfo() { return proxy_info; }
    TunnelInfo& getTunnelInfo() { return tunnel_info; }

    // The pool's pop; without a pool an empty expired slot.
    ChannelStat pop();
    // The same, giving up (false) when `stop` answers true while waiting.
    bool pop(ChannelStat& slot, const std::function<bool()>& stop);
    // The pool's push / update, when there is a pool and a channel.
    void push(const ChannelStat& slot);
    void update(const ChannelStat& slot);
    // The pool's isConnected2; without a pool false, with an error line.
    bool isConnected2();

    bool hasPool() const { return pool != nullptr; }
    // The shared pool (null without one), for the manager and tests.
    const std::shared_ptr<ChannelPool>& getPool() const { return pool; }

private:
    std::shared_ptr<ChannelPool> pool;
    ConnectionInfo conn_info;
    ProxyInfo proxy_info;
    TunnelInfo tunnel_info;
};
