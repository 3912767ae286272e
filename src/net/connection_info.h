// The settings records of one server connection: how the server is reached
// and admitted, and the optional HTTP proxy and relay tunnel on the way.
// Plain data, filled from the UI's control requests; the channel pool and the
// route channels read them.
#pragma once

#include <cstdint>
#include <string>

#include "base/ustring.h"

// How the user addressed the server; stored and reported, not used for
// routing. "CM_UNKNOW" is the given spelling.
enum ConnectionMode {
    CM_UNKNOW = 0,
    CM_IP = 1,
    CM_DDNS = 2,
    CM_KORVAN = 3,
};

// The server package version the UI reported.
struct VersionInfo {
    int major = 0;
    int minor = 0;
    long build_number = 0;
};

struct ConnectionInfo {
    int c_mode = CM_UNKNOW;
    ustring server_name;  // the host name the server's certificate must carry
    ustring server_ip;    // the address channels connect to
    int server_port = 0;
    ustring quickconn_mode;  // carried; nothing acts on it
    ustring username;        // for status reports
    ustring password;        // carried; never sent (the server admits by `session`)
    ustring ds_id;           // carried; nothing acts on it
    ustring session;         // the session token of the "connect" request
    int protocol_version = 0;  // carried; nothing acts on it
    uint64_t conn_id = 0;
    ustring computer_name;
    int linked = 0;  // carried; nothing acts on it
    bool use_ssl = true;
    bool ssl_allow_untrust = false;
    VersionInfo version_info;
    int status = 0;  // carried
    int error = 0;   // carried
    uint32_t user_uid = 0;
    uint32_t user_gid = 0;
    bool user_is_admin = false;
};

// An HTTP proxy on the way to the server. Strings are UTF-8.
struct ProxyInfo {
    bool use_proxy = false;
    bool use_sys_proxy = false;
    std::string proxy_ip;
    uint16_t proxy_port = 0;
    std::string user_name;
    std::string password;
    std::string domain;
    std::string host;

    // Empty strings, port 0, both flags false: the default-constructed state.
    void clear() { *this = ProxyInfo(); }
};

// A relay tunnel on the way to the server.
struct TunnelInfo {
    bool use_tunnel = false;
    std::string tunnel_ip;
    uint16_t tunnel_port = 0;

    void clear() { *this = TunnelInfo(); }
};
