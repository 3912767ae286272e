#include "net/connection_manager.h"

ConnectionManager& ConnectionManager::getInstance() {
    static ConnectionManager instance;
    return instance;
}

int ConnectionManager::add(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
    std::lock_guard<std::mutex> lk(lock);
    if (index.count(info.conn_id) != 0) return -1;
    index.emplace(info.conn_id, std::make_shared<Connection>(info, proxy, tunnel));
    return 0;
}

int ConnectionManager::reload(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
    std::lock_guard<std::mutex> lk(lock);
    auto it = index.find(info.conn_id);
    if (it == index.end()) return -1;
    Connection& connection = *it->second;
    if (connection.getPool() != nullptr) {
        connection.getPool()->reset(Connection::kPoolSize, proxy, tunnel);
    }
    connection.getConnectionInfo() = info;
    if (proxy != nullptr) {
        connection.getProxyInfo() = *proxy;
    } else {
        connection.getProxyInfo().clear();
    }
    if (tunnel != nullptr) {
        connection.getTunnelInfo() = *tunnel;
    } else {
        connection.getTunnelInfo().clear();
    }
    return 0;
}

int ConnectionManager::get(uint64_t conn_id, Connection& out) {
    std::lock_guard<std::mutex> lk(lock);
    auto it = index.find(conn_id);
    if (it == index.end()) return -1;
    out = *it->second;
    return 0;
}

int ConnectionManager::get(std::vector<Connection>& out) {
    std::lock_guard<std::mutex> lk(lock);
    out.clear();
    out.reserve(index.size());
    for (const auto& entry : index) out.push_back(*entry.second);
    return 0;
}

void ConnectionManager::remove(uint64_t conn_id) {
    std::shared_ptr<Connection> last;
    {
        std::lock_guard<std::mutex> lk(lock);
        auto it = index.find(conn_id);
        if (it == index.end()) return;
        last = std::move(it->second);
        index.erase(it);
    }
    // Destroying the last reference waits for every lent channel; it happens
    // here, outside the table's lock, so that other connections stay usable.
}

void ConnectionManager::clear() {
    std::map<uint64_t, std::shared_ptr<Connection>> dropped;
    {
        std::lock_guard<std::mutex> lk(lock);
        dropped.swap(index);
    }
}
