// The control requests that put a set-up connection or session into the
// daemon.
#pragma once

#include <string>

#include "setup_state.h"
#include "value/pobject.h"

namespace ctl {

// "link_connection" or "reload_connection" for `c`.
PObject ConnectionRequest(const ConnectionSetup& c, const char* action);
// "add_session" for `s`.
PObject AddSessionRequest(const SessionSetup& s);
// "pause" or "resume" of one session.
PObject PauseRequest(uint64_t session_id, bool pause);

// "HOST:PORT" into its parts: false (with `error`) unless the port is 1 to
// 65535 and the host is not empty.
bool ParseHostPort(const std::string& text, std::string& host, int& port, std::string& error);

}  // namespace ctl
