// The control actions on connections: "link_connection", "reload_connection"
// and "unlink_connection". Sessions refer to connections by id; a session
// whose connection is removed stays registered and its tasks find no
// connection until one with that id is linked again.
#include "daemon/connection_actions.h"

#include <cstdint>

#include "base/logger.h"
#include "daemon/tidewell_app.h"
#include "net/connection_info.h"
#include "net/connection_manager.h"

namespace {

const char* const kComponent = "client_debug";

using ull = unsigned long long;

// The members a connection cannot do without, with the type each must have.
// Id 0 is refused: it means "every connection" to "unlink_connection" and to
// the workers' interruption filter.
bool valid_connection_request(const PObject& msg) {
    const PObject& id = msg["connection_id"];
    const PObject& port = msg["server_port"];
    return id.isInteger() && id.asUInt64() != 0 && msg["server_ip"].isString() && port.isInteger() &&
           port.asUInt64() >= 1 && port.asUInt64() <= 65535 && msg["session"].isString();
}

std::string bytes_of(const PObject& value) {
    return value.asString().str();
}

// The proxy is passed on only when it is asked for and has an address: an
// empty address would make every later open of the pool's channels fail.
const ProxyInfo* proxy_to_pass(const ProxyInfo& proxy) {
    return proxy.use_proxy && !proxy.proxy_ip.empty() ? &proxy : nullptr;
}

const TunnelInfo* tunnel_to_pass(const TunnelInfo& tunnel) {
    return tunnel.use_tunnel ? &tunnel : nullptr;
}

void log_details(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
    TW_INFO(kComponent, "server = %s:%u\n", info.server_ip.c_str(), static_cast<unsigned>(info.server_port));
    TW_INFO(kComponent, "ssl = %u:%u\n", static_cast<unsigned>(info.use_ssl),
            static_cast<unsigned>(info.ssl_allow_untrust));
    if (proxy) TW_INFO(kComponent, "proxy: %s:%u\n", proxy->proxy_ip.c_str(), static_cast<unsigned>(proxy->proxy_port));
    if (tunnel)
        TW_INFO(kComponent, "tunnel: %s:%u\n", tunnel->tunnel_ip.c_str(), static_cast<unsigned>(tunnel->tunnel_port));
}

}  // namespace

void prepare_connection_info(const PObject& msg, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel) {
    info.session = msg["session"].asString();
    info.server_ip = msg["server_ip"].asString();
    info.server_port = msg["server_port"].asInt32();
    info.conn_id = msg["connection_id"].asUInt64();
    info.c_mode = msg["connection_mode"].asInt32();
    info.username = msg["username"].asString();
    info.computer_name = msg["computer_name"].asString();
    info.use_ssl = msg["use_ssl"].asBool();
    info.version_info.build_number = static_cast<long>(msg["package_version"].asInt64());
    info.version_info.major = msg["package_major"].asInt32();
    info.version_info.minor = msg["package_minor"].asInt32();
    info.ssl_allow_untrust = msg["ssl_allow_untrust"].asBool();
    info.server_name = msg["ssl_server_hostname"].asString();

    proxy.use_proxy = msg["use_proxy"].asBool();
    proxy.use_sys_proxy = msg["use_sys_proxy"].asBool();
    proxy.proxy_ip = bytes_of(msg["proxy_ip"]);
    proxy.proxy_port = msg["proxy_port"].asUInt16();
    proxy.user_name = bytes_of(msg["proxy_username"]);
    proxy.password = bytes_of(msg["proxy_password"]);
    proxy.domain = bytes_of(msg["proxy_domain"]);
    proxy.host = bytes_of(msg["proxy_host"]);

    tunnel.use_tunnel = msg["use_tunnel"].asBool();
    tunnel.tunnel_ip = bytes_of(msg["tunnel_ip"]);
    tunnel.tunnel_port = msg["tunnel_port"].asUInt16();
}

namespace {

// A connection request read into its records, with what is to be passed on.
struct ConnectionRequest {
    ConnectionInfo info;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    const ProxyInfo* proxy_passed = nullptr;
    const TunnelInfo* tunnel_passed = nullptr;
};

// false, with the reply's error set, when a required member is missing.
bool read_request(const PObject& msg, PObject& reply, ConnectionRequest& r) {
    if (!valid_connection_request(msg)) {
        TW_ERROR(kComponent, "invalid parameters.\n");
        reply["error"] = "Invalid parameters";
        return false;
    }
    prepare_connection_info(msg, r.info, r.proxy, r.tunnel);
    r.proxy_passed = proxy_to_pass(r.proxy);
    r.tunnel_passed = tunnel_to_pass(r.tunnel);
    return true;
}

}  // namespace

void TidewellApp::add_connection(const PObject& msg, PObject& reply) {
    ConnectionRequest r;
    if (!read_request(msg, reply, r)) return;
    TW_INFO(kComponent, "connection #%llu is added:\n", (ull)r.info.conn_id);
    log_details(r.info, r.proxy_passed, r.tunnel_passed);
    if (ConnectionManager::getInstance().add(r.info, r.proxy_passed, r.tunnel_passed) < 0) {
        TW_WARNING(kComponent, "connection #%llu (%s:%d) is not added\n", (ull)r.info.conn_id,
                   r.info.server_ip.c_str(), r.info.server_port);
        reply["error"] = "Failed to add connection.";
    }
}

void TidewellApp::reload_connection(const PObject& msg, PObject& reply) {
    ConnectionRequest r;
    if (!read_request(msg, reply, r)) return;
    // The reload waits, under the connection table's lock, until every
    // channel of the connection has come back. The workers are stopped and
    // interrupted first; the syncers are paused too, so that a pull in
    // flight ends within a second instead of holding the control loop and
    // every task's look-up for as long as the server takes to answer.
    pause_worker();
    pause_syncers();
    WorkerTask::AbortFilter filter;
    filter.setConnection(r.info.conn_id);
    interrupt_worker(filter);

    TW_INFO(kComponent, "connection #%llu is reloaded:\n", (ull)r.info.conn_id);
    log_details(r.info, r.proxy_passed, r.tunnel_passed);
    if (ConnectionManager::getInstance().reload(r.info, r.proxy_passed, r.tunnel_passed) < 0) {
        TW_WARNING(kComponent, "connection #%llu (%s:%d) is not reloaded\n", (ull)r.info.conn_id,
                   r.info.server_ip.c_str(), r.info.server_port);
        reply["error"] = "Failed to reload connection.";
    }
    resume_syncers();
    resume_worker();
}

void TidewellApp::remove_connection(const PObject& msg, PObject&) {
    uint64_t id = msg["connection_id"].asUInt64();
    pause_worker();
    WorkerTask::AbortFilter filter;
    filter.setConnection(id);
    interrupt_worker(filter);

    TW_INFO(kComponent, "connection #%llu is removed\n", (ull)id);
    if (id != 0)
        ConnectionManager::getInstance().remove(id);
    else
        ConnectionManager::getInstance().clear();
    resume_worker();
}
