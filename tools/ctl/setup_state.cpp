#include "setup_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "daemon_client.h"
#include "json_convert.h"

namespace ctl {

namespace {

Json to_json(const ConnectionSetup& c) {
    Json j = Json::object();
    j["id"] = c.id;
    j["server"] = c.server;
    j["port"] = c.port;
    j["token"] = c.token;
    j["tls"] = c.tls;
    j["allow_untrusted"] = c.allow_untrusted;
    j["server_name"] = c.server_name;
    j["proxy_host"] = c.proxy_host;
    j["proxy_port"] = c.proxy_port;
    j["proxy_user"] = c.proxy_user;
    j["proxy_password"] = c.proxy_password;
    j["tunnel_host"] = c.tunnel_host;
    j["tunnel_port"] = c.tunnel_port;
    return j;
}

Json to_json(const SessionSetup& s) {
    Json j = Json::object();
    j["id"] = s.id;
    j["connection"] = s.connection;
    j["view"] = s.view;
    j["node"] = s.node;
    j["folder"] = s.folder;
    j["config_dir"] = s.config_dir;
    j["remote_path"] = s.remote_path;
    j["recursive"] = s.recursive;
    j["read_only"] = s.read_only;
    j["sync_mode"] = s.sync_mode;
    j["perm_mode"] = s.perm_mode;
    j["paused"] = s.paused;
    return j;
}

bool from_json(const Json& j, ConnectionSetup& c) {
    if (!j.is_object() || !j.contains("id") || !j["id"].is_number_unsigned()) return false;
    c.id = j["id"].get<uint64_t>();
    c.server = j.value("server", std::string());
    c.port = j.value("port", 0);
    c.token = j.value("token", std::string());
    c.tls = j.value("tls", false);
    c.allow_untrusted = j.value("allow_untrusted", false);
    c.server_name = j.value("server_name", std::string());
    c.proxy_host = j.value("proxy_host", std::string());
    c.proxy_port = j.value("proxy_port", 0);
    c.proxy_user = j.value("proxy_user", std::string());
    c.proxy_password = j.value("proxy_password", std::string());
    c.tunnel_host = j.value("tunnel_host", std::string());
    c.tunnel_port = j.value("tunnel_port", 0);
    return c.id != 0 && !c.server.empty();
}

bool from_json(const Json& j, SessionSetup& s) {
    if (!j.is_object() || !j.contains("id") || !j["id"].is_number_unsigned()) return false;
    s.id = j["id"].get<uint64_t>();
    s.connection = j.value("connection", uint64_t{0});
    s.view = j.value("view", uint64_t{1});
    s.node = j.value("node", uint64_t{0});
    s.folder = j.value("folder", std::string());
    s.config_dir = j.value("config_dir", std::string());
    s.remote_path = j.value("remote_path", std::string("/"));
    s.recursive = j.value("recursive", true);
    s.read_only = j.value("read_only", false);
    s.sync_mode = j.value("sync_mode", false);
    s.perm_mode = j.value("perm_mode", std::string("sync-all"));
    s.paused = j.value("paused", true);
    return s.id != 0 && !s.folder.empty() && !s.config_dir.empty();
}

template <class T>
T* find_id(std::vector<T>& items, uint64_t id) {
    for (T& item : items)
        if (item.id == id) return &item;
    return nullptr;
}

template <class T>
void put(std::vector<T>& items, const T& value) {
    if (T* old = find_id(items, value.id))
        *old = value;
    else
        items.push_back(value);
}

template <class T>
void forget(std::vector<T>& items, uint64_t id) {
    if (id == 0) {
        items.clear();
        return;
    }
    items.erase(std::remove_if(items.begin(), items.end(), [id](const T& i) { return i.id == id; }), items.end());
}

template <class T>
uint64_t next_id(const std::vector<T>& items) {
    uint64_t top = 0;
    for (const T& item : items) top = std::max(top, item.id);
    return top + 1;
}

}  // namespace

std::string SavedSetup::PathFor(const std::string& config) {
    return absolute(config) + ".setup";
}

bool SavedSetup::Load(const std::string& config, std::string& error) {
    path_ = PathFor(config);
    connections.clear();
    sessions.clear();
    std::string text;
    int rc = read_file(path_, text);
    if (rc == 0) return true;
    if (rc < 0) {
        error = "cannot read " + path_ + ": " + std::strerror(errno);
        return false;
    }
    Json j = Json::parse(text, nullptr, false);
    if (!j.is_object()) {
        error = path_ + " is not a setup file (not a JSON object)";
        return false;
    }
    for (const Json& item : j.value("connections", Json::array())) {
        ConnectionSetup c;
        if (!from_json(item, c)) {
            error = path_ + " holds a connection without a valid id or server: " + item.dump();
            return false;
        }
        connections.push_back(c);
    }
    for (const Json& item : j.value("sessions", Json::array())) {
        SessionSetup s;
        if (!from_json(item, s)) {
            error = path_ + " holds a session without a valid id, folder or configuration folder: " + item.dump();
            return false;
        }
        sessions.push_back(s);
    }
    return true;
}

bool SavedSetup::Save(std::string& error) const {
    Json j = Json::object();
    j["connections"] = Json::array();
    for (const ConnectionSetup& c : connections) j["connections"].push_back(to_json(c));
    j["sessions"] = Json::array();
    for (const SessionSetup& s : sessions) j["sessions"].push_back(to_json(s));
    std::string text = j.dump(2) + "\n";
    std::string tmp = path_ + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    // The tokens are secrets: owner-only whatever the umask or an old file.
    bool ok = fchmod(fd, 0600) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path_.c_str()) != 0) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

ConnectionSetup* SavedSetup::FindConnection(uint64_t id) {
    return find_id(connections, id);
}

SessionSetup* SavedSetup::FindSession(uint64_t id) {
    return find_id(sessions, id);
}

void SavedSetup::Put(const ConnectionSetup& c) {
    put(connections, c);
}

void SavedSetup::Put(const SessionSetup& s) {
    put(sessions, s);
}

void SavedSetup::ForgetConnection(uint64_t id) {
    forget(connections, id);
}

void SavedSetup::ForgetSession(uint64_t id) {
    forget(sessions, id);
}

uint64_t SavedSetup::NextConnectionId() const {
    return next_id(connections);
}

uint64_t SavedSetup::NextSessionId() const {
    return next_id(sessions);
}

}  // namespace ctl
