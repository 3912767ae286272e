#include "probe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "net/connection_info.h"
#include "net/error_codes.h"
#include "net/proxy_channel.h"
#include "net/route_channel.h"
#include "protocol/server_session.h"
#include "value/pobject.h"

const char kProbeUsage[] =
    "       tidewell-ctl probe --server HOST:PORT --token TOKEN [--view N] [--tls] [--allow-untrusted]\n"
    "                          [--ca FILE] [--proxy HOST:PORT [--proxy-user U --proxy-password P\n"
    "                          --proxy-domain D]] [--tunnel HOST:PORT] [--verbose]\n";

namespace {

// "host:port" with a port of 1 to 65535.
bool SplitHostPort(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    char* end = nullptr;
    long value = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || value < 1 || value > 65535) return false;
    port = static_cast<int>(value);
    return true;
}

// The dotted IPv4 address of `host` (which may already be one), or "".
std::string ResolveIPv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return "";
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
    freeaddrinfo(found);
    return text;
}

std::string ThisHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

int Fail(FILE* err, int code, const std::string& what) {
    std::fprintf(err, "tidewell-ctl: probe failed: %s: %d (%s)\n", what.c_str(), code, GetErrorString(code));
    return 1;
}

}  // namespace

int ParseProbeOptions(int argc, char** argv, ProbeOptions& o, std::string& error) {
    bool has_server = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--tls") {
            o.tls = true;
        } else if (a == "--allow-untrusted") {
            o.allow_untrusted = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--server" || a == "--proxy" || a == "--tunnel") {
            if (!value(v)) return 2;
            std::string& host = a == "--server" ? o.server_host : a == "--proxy" ? o.proxy_host : o.tunnel_host;
            int& port = a == "--server" ? o.server_port : a == "--proxy" ? o.proxy_port : o.tunnel_port;
            if (!SplitHostPort(v, host, port)) {
                error = a + " takes HOST:PORT with a port of 1 to 65535, not \"" + v + "\"";
                return 2;
            }
            (a == "--server" ? has_server : a == "--proxy" ? o.has_proxy : o.has_tunnel) = true;
        } else if (a == "--token") {
            if (!value(o.token)) return 2;
        } else if (a == "--ca") {
            if (!value(o.ca_file)) return 2;
        } else if (a == "--proxy-user" || a == "--proxy-password" || a == "--proxy-domain") {
            std::string& out = a == "--proxy-user" ? o.proxy_user : a == "--proxy-password" ? o.proxy_password
                                                                                             : o.proxy_domain;
            if (!value(out)) return 2;
        } else if (a == "--view") {
            if (!value(v)) return 2;
            char* end = nullptr;
            unsigned long long n = std::strtoull(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || v[0] == '-') {
                error = "--view takes a number, not \"" + v + "\"";
                return 2;
            }
            o.view = n;
        } else {
            error = "unknown probe option " + a;
            return 2;
        }
    }
    if (!has_server) {
        error = "probe needs --server HOST:PORT";
        return 2;
    }
    if (o.token.empty()) {
        error = "probe needs --token TOKEN (the login session token)";
        return 2;
    }
    if (!o.has_proxy && (!o.proxy_user.empty() || !o.proxy_password.empty() || !o.proxy_domain.empty())) {
        error = "--proxy-user, --proxy-password and --proxy-domain go with --proxy";
        return 2;
    }
    return 0;
}

int RunProbe(const ProbeOptions& o, FILE* out, FILE* err) {
    ConnectionInfo info;
    info.server_name = o.server_host;
    info.server_port = o.server_port;
    info.session = o.token;
    info.use_ssl = o.tls;
    info.ssl_allow_untrust = o.allow_untrusted;
    info.computer_name = ThisHostName();
    // Channels connect to an address; the daemon is handed one by the UI.
    std::string server_ip = ResolveIPv4(o.server_host);
    if (server_ip.empty()) return Fail(err, ERR_INVAL, "cannot resolve the server " + o.server_host);
    info.server_ip = server_ip;

    ProxyInfo proxy;
    if (o.has_proxy) {
        proxy.use_proxy = true;
        proxy.proxy_ip = o.proxy_host;
        proxy.proxy_port = static_cast<uint16_t>(o.proxy_port);
        proxy.user_name = o.proxy_user;
        proxy.password = o.proxy_password;
        proxy.domain = o.proxy_domain;
        proxy.host = info.computer_name.str();
    }
    TunnelInfo tunnel;
    if (o.has_tunnel) {
        tunnel.use_tunnel = true;
        tunnel.tunnel_ip = ResolveIPv4(o.tunnel_host);
        tunnel.tunnel_port = static_cast<uint16_t>(o.tunnel_port);
        if (tunnel.tunnel_ip.empty()) return Fail(err, ERR_INVAL, "cannot resolve the relay " + o.tunnel_host);
    }

    std::string route;
    if (o.has_proxy) route += "proxy " + o.proxy_host + ":" + std::to_string(o.proxy_port) + ", then ";
    if (o.has_tunnel) route += "relay " + tunnel.tunnel_ip + ":" + std::to_string(o.tunnel_port) + ", then ";
    route += (route.empty() ? "direct to server " : "server ") + server_ip + ":" + std::to_string(o.server_port);
    std::fprintf(out, "route: %s\n", route.c_str());

    Channel::SetVerifyCAPath(ustring(o.ca_file));
    std::unique_ptr<Channel> channel =
        MakeRouteChannel(o.has_proxy ? &proxy : nullptr, o.has_tunnel ? &tunnel : nullptr);
    SessionForm form = SyncerSessionForm(nullptr);
    form.name = "Probe";
    form.connect_name = "Probe";
    PObject answer;
    int ret = RequestChannel(*channel, info, o.view, form, &answer);

    const bool opened = !channel->IsClosed();
    if (auto* proxied = dynamic_cast<ProxyChannel*>(channel.get()); proxied && opened) {
        std::fprintf(out, "proxy method: %s\n", CORVProxyAuthName(proxied->ProxyMethod()));
    }
    std::string version;
    long verify = 0;
    if (!o.tls) {
        std::fprintf(out, "tls: off\n");
    } else if (channel->GetSSLStatus(version, verify)) {
        if (o.allow_untrusted) {
            std::fprintf(out, "tls: %s, certificate not checked (--allow-untrusted; a check would say: %s)\n",
                         version.c_str(), X509_verify_cert_error_string(verify));
        } else {
            std::fprintf(out, "tls: %s, certificate verified for %s\n", version.c_str(), o.server_host.c_str());
        }
    }
    if (answer.isMap() && !answer.hasMember("error")) {
        if (answer["server"].isMap()) {
            std::fprintf(out, "server build: %llu\n",
                         static_cast<unsigned long long>(answer["server"]["package_version"]["build"].asUInt64()));
        } else {
            std::fprintf(out, "server build: not reported\n");
        }
        std::fprintf(out, "alive: %llu\n", static_cast<unsigned long long>(AliveSeconds(answer)));
    }
    channel->Close();
    if (ret < 0) {
        std::string what;
        if (!opened) {
            what = "the route to the server could not be opened";
        } else if (answer.hasMember("error")) {
            what = "the server refused the channel: " + answer["error"].toString().str();
        } else if (answer.isMap()) {
            what = "the server answered with an alive of 0";
        } else if (o.tls && version.empty()) {
            what = "no TLS session with the server";
        } else {
            what = "no answer to \"connect\"";
        }
        if (!o.verbose) what += " (--verbose shows each step)";
        return Fail(err, ret, what);
    }
    std::fprintf(out, "result: ok\n");
    return 0;
}
