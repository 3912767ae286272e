// The connections and sessions that tidewell-ctl set up, kept beside the
// configuration (FILE.setup, JSON, owner-only since it holds the servers'
// session tokens). The daemon keeps no session list of its own: "start"
// links a daemon it starts and adds these again, so that after a restart
// or a crash the folders sync again without retyping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ctl {

struct ConnectionSetup {
    uint64_t id = 0;
    std::string server;  // address or host name
    int port = 0;
    std::string token;  // the server's session token
    bool tls = false;
    bool allow_untrusted = false;
    std::string server_name;  // the name the certificate must carry; empty: `server`
    std::string proxy_host;
    int proxy_port = 0;
    std::string proxy_user;
    std::string proxy_password;
    std::string tunnel_host;
    int tunnel_port = 0;
};

struct SessionSetup {
    uint64_t id = 0;
    uint64_t connection = 0;
    uint64_t view = 1;
    uint64_t node = 0;  // 0: the view id
    std::string folder;      // absolute
    std::string config_dir;  // absolute
    std::string remote_path = "/";
    bool recursive = true;
    bool read_only = false;
    bool sync_mode = false;
    std::string perm_mode = "sync-all";
    bool paused = true;  // new sessions start paused
};

class SavedSetup {
public:
    // FILE.setup of the configuration FILE.
    static std::string PathFor(const std::string& config);

    // Reads the file (a missing one is an empty setup): false with `error`.
    bool Load(const std::string& config, std::string& error);
    // Writes it whole (through a temporary file, mode 0600): false with
    // `error`.
    bool Save(std::string& error) const;

    ConnectionSetup* FindConnection(uint64_t id);
    SessionSetup* FindSession(uint64_t id);
    // Replaces the entry of the same id, or appends.
    void Put(const ConnectionSetup& c);
    void Put(const SessionSetup& s);
    // Id 0: every entry.
    void ForgetConnection(uint64_t id);
    void ForgetSession(uint64_t id);
    uint64_t NextConnectionId() const;
    uint64_t NextSessionId() const;

    std::vector<ConnectionSetup> connections;
    std::vector<SessionSetup> sessions;

private:
    std::string path_;
};

}  // namespace ctl
