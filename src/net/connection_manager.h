// The process-wide table of connections by id. The control actions add,
// reload, remove and list them; the tasks take copies, which share the
// connection's channel pool.
//
// Thread safety: every operation holds `lock`. reload() waits inside the
// pool's reset, with `lock` held, until every channel of that connection
// has come back. Lock order: manager lock, then a pool's lock. So a thread
// that holds a popped channel must push it back before it calls any
// operation here (tasks refresh their copy only between requests);
// otherwise a reload of its connection would wait for it for ever.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "net/connection.h"
#include "net/connection_info.h"

class ConnectionManager {
public:
    static ConnectionManager& getInstance();

    // Tests and tools may keep tables of their own.
    ConnectionManager() = default;
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // Builds the connection with its pool. 0, or -1 when `info.conn_id` is
    // taken (nothing changes).
    int add(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel);
    // Replaces the pool's channels for the (possibly new) route, once all of
    // them have come back, then the settings: the proxy and tunnel records
    // are copied when given and cleared otherwise. 0, or -1 when no
    // connection has that id.
    int reload(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel);
    // A copy sharing the pool. 0, or -1 when absent (`out` untouched).
    int get(uint64_t conn_id, Connection& out);
    // Copies of all connections in ascending id order; always 0.
    int get(std::vector<Connection>& out);
    // Drops the table's reference; the connection lives on in the copies
    // that tasks still hold.
    void remove(uint64_t conn_id);
    void clear();

private:
    std::mutex lock;  // guards `index`; taken before any pool's lock
    std::map<uint64_t, std::shared_ptr<Connection>> index;
};
