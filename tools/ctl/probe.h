// tidewell-ctl probe: the "test connection" a user runs before linking. It
// opens one channel to the sync server by the route the daemon would take
// (directly, through an HTTP proxy, through the relay tunnel, or through
// both), runs the session handshake, and reports what it found.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct ProbeOptions {
    std::string server_host;
    int server_port = 0;
    std::string token;
    uint64_t view = 0;
    bool tls = false;
    bool allow_untrusted = false;
    std::string ca_file;  // empty: the system's trust store
    bool has_proxy = false;
    std::string proxy_host;
    int proxy_port = 0;
    std::string proxy_user;
    std::string proxy_password;
    std::string proxy_domain;
    bool has_tunnel = false;
    std::string tunnel_host;
    int tunnel_port = 0;
    bool verbose = false;
};

// The options after "probe". 0, or 2 with `error` set (a usage error).
int ParseProbeOptions(int argc, char** argv, ProbeOptions& options, std::string& error);

// Runs the probe and writes its report to `out`, a failure also to `err`.
// The exit status: 0 when the server admitted the channel, else 1.
int RunProbe(const ProbeOptions& options, FILE* out, FILE* err);

// The usage lines of the command.
extern const char kProbeUsage[];
