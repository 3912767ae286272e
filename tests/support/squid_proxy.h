// A real squid proxy for one test: started on a free loopback port with a
// private configuration in a temporary folder (no caching, CONNECT to any
// port, optional Basic authentication against an htpasswd file made with
// `openssl passwd -apr1`, optional NTLM through squid's fake helper, which
// accepts any password), and stopped by its pid.
//
// The access log records, per request, the user squid saw and the
// Proxy-Authorization header it received.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>

#include "support/temp_dir.h"

namespace tidewell::testing {

struct SquidOptions {
    bool basic = false;
    bool ntlm = false;
    std::map<std::string, std::string> users;  // for Basic: user -> password
};

class SquidProxy {
public:
    // Whether squid and the helpers it needs are installed; when not, `why`
    // says what is missing.
    static bool Available(const SquidOptions& options, std::string* why);

    explicit SquidProxy(const SquidOptions& options);
    // Stops squid: SIGTERM, a bounded wait, then SIGKILL.
    ~SquidProxy();
    SquidProxy(const SquidProxy&) = delete;
    SquidProxy& operator=(const SquidProxy&) = delete;

    // Whether squid runs and accepts connections; `error()` says why not.
    bool ok() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    // The access log so far, waiting (bounded) until it holds `lines` lines.
    std::string AccessLog(int lines = 0) const;

private:
    bool Start(const SquidOptions& options);
    void Stop();

    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

}  // namespace tidewell::testing
