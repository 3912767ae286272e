// "connection add|reload|remove": the daemon's connections, kept in the
// setup so that "start" adds them again.
#include <cstdio>

#include "commands.h"
#include "daemon_client.h"
#include "setup_requests.h"
#include "setup_state.h"

namespace ctl {

namespace {

// The connection options over `c`: false (told) on a bad value.
bool apply_options(const Options& o, ConnectionSetup& c) {
    std::string error;
    if (o.has("server") && !ParseHostPort(o.value("server"), c.server, c.port, error)) {
        fail("--server: " + error);
        return false;
    }
    if (o.has("token")) c.token = o.value("token");
    if (o.flag("tls")) c.tls = true;
    if (o.flag("allow-untrusted")) c.allow_untrusted = true;
    if (o.has("server-name")) c.server_name = o.value("server-name");
    if (o.has("proxy") && !ParseHostPort(o.value("proxy"), c.proxy_host, c.proxy_port, error)) {
        fail("--proxy: " + error);
        return false;
    }
    if (o.has("proxy-user")) c.proxy_user = o.value("proxy-user");
    if (o.has("proxy-password")) c.proxy_password = o.value("proxy-password");
    if (o.has("tunnel") && !ParseHostPort(o.value("tunnel"), c.tunnel_host, c.tunnel_port, error)) {
        fail("--tunnel: " + error);
        return false;
    }
    if (c.server.empty() || c.token.empty()) {
        fail("a connection needs --server HOST:PORT and --token TOKEN");
        return false;
    }
    return true;
}

std::string describe(const ConnectionSetup& c) {
    std::string text = c.server + ":" + std::to_string(c.port) + (c.tls ? " (TLS)" : "");
    if (!c.proxy_host.empty()) text += " through proxy " + c.proxy_host + ":" + std::to_string(c.proxy_port);
    if (!c.tunnel_host.empty()) text += " through tunnel " + c.tunnel_host + ":" + std::to_string(c.tunnel_port);
    return text;
}

int add_or_reload(const Options& o, SavedSetup& setup, bool reload) {
    if (o.args.size() != 2) return UsageError(std::string("connection ") + (reload ? "reload" : "add") + " takes an ID");
    ConnectionSetup c;
    if (!ParseId(o.args[1], "connection", c.id)) return 2;
    if (reload) {
        if (const ConnectionSetup* old = setup.FindConnection(c.id)) c = *old;
    } else if (setup.FindConnection(c.id)) {
        fail("connection " + std::to_string(c.id) + " is set up already; change it with: tidewell-ctl connection reload " +
             std::to_string(c.id) + " ...");
        return 1;
    }
    if (!apply_options(o, c)) return 2;
    PObject reply;
    if (call(o.config, ConnectionRequest(c, reload ? "reload_connection" : "link_connection"), reply) != 0) return 1;
    int rc = Report(o, reply, "connection " + std::to_string(c.id) + (reload ? " reloaded: " : " added: ") + describe(c));
    if (rc != 0) return rc;
    setup.Put(c);
    return SaveSetup(setup);
}

int remove(const Options& o, SavedSetup& setup) {
    if (o.args.size() > 2) return UsageError("connection remove takes at most an ID");
    uint64_t id = 0;
    if (o.args.size() == 2 && !ParseId(o.args[1], "connection", id)) return 2;
    PObject msg;
    msg["action"] = "unlink_connection";
    if (id != 0) msg["connection_id"] = id;
    PObject reply;
    if (call(o.config, msg, reply) != 0) return 1;
    std::string done = id != 0 ? "connection " + std::to_string(id) + " removed" : "every connection removed";
    int rc = Report(o, reply, done + " (its sessions stay; they sync again once the connection is added back)");
    if (rc != 0) return rc;
    setup.ForgetConnection(id);
    return SaveSetup(setup);
}

}  // namespace

int CmdConnection(const Options& o) {
    if (o.args.empty()) return UsageError("connection needs add, reload or remove");
    SavedSetup setup;
    if (!LoadSetup(o, setup)) return 1;
    const std::string& what = o.args[0];
    if (what == "add") return add_or_reload(o, setup, false);
    if (what == "reload") return add_or_reload(o, setup, true);
    if (what == "remove") return remove(o, setup);
    return UsageError("unknown connection command " + what);
}

}  // namespace ctl
