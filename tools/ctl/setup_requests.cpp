#include "setup_requests.h"

#include <cstdlib>

namespace ctl {

PObject ConnectionRequest(const ConnectionSetup& c, const char* action) {
    PObject msg;
    msg["action"] = action;
    msg["connection_id"] = c.id;
    msg["server_ip"] = ustring(c.server);
    msg["server_port"] = static_cast<uint64_t>(c.port);
    msg["session"] = ustring(c.token);
    msg["use_ssl"] = c.tls;
    msg["ssl_allow_untrust"] = c.allow_untrusted;
    msg["ssl_server_hostname"] = ustring(c.server_name.empty() ? c.server : c.server_name);
    if (!c.proxy_host.empty()) {
        msg["use_proxy"] = true;
        msg["proxy_ip"] = ustring(c.proxy_host);
        msg["proxy_port"] = static_cast<uint64_t>(c.proxy_port);
        msg["proxy_username"] = ustring(c.proxy_user);
        msg["proxy_password"] = ustring(c.proxy_password);
    }
    if (!c.tunnel_host.empty()) {
        msg["use_tunnel"] = true;
        msg["tunnel_ip"] = ustring(c.tunnel_host);
        msg["tunnel_port"] = static_cast<uint64_t>(c.tunnel_port);
    }
    return msg;
}

PObject AddSessionRequest(const SessionSetup& s) {
    PObject msg;
    msg["action"] = "add_session";
    msg["connection_id"] = s.connection;
    msg["session_id"] = s.id;
    msg["view_id"] = s.view;
    msg["config_path"] = ustring(s.config_dir);
    msg["sync_folder"] = ustring(s.folder);
    if (s.node != 0) msg["node_id"] = s.node;
    msg["recursive"] = s.recursive;
    msg["remote_path"] = ustring(s.remote_path);
    msg["sync_mode"] = s.sync_mode;
    msg["read_only"] = s.read_only;
    msg["perm_mode"] = ustring(s.perm_mode);
    return msg;
}

PObject PauseRequest(uint64_t session_id, bool pause) {
    PObject msg;
    msg["action"] = pause ? "pause" : "resume";
    msg["session_id"] = session_id;
    return msg;
}

bool ParseHostPort(const std::string& text, std::string& host, int& port, std::string& error) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) {
        error = "'" + text + "' is not HOST:PORT";
        return false;
    }
    std::string digits = text.substr(colon + 1);
    char* end = nullptr;
    long value = std::strtol(digits.c_str(), &end, 10);
    if (*end != '\0' || value < 1 || value > 65535 || digits[0] == '-' || digits[0] == '+') {
        error = "'" + digits + "' in '" + text + "' is not a port (1 to 65535)";
        return false;
    }
    host = text.substr(0, colon);
    port = static_cast<int>(value);
    return true;
}

}  // namespace ctl
