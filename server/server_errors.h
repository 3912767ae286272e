// The error codes this server answers in "error" -> "code" (the protocol's
// enumeration, protocol/server_error.h), and the few constants every answer
// shares.
//
// The upper four bits of a code name its group; clients translate a code by
// its group where they do not know the exact value. The server answers only
// codes that clients act on (translated into a failure, or tested for
// before translating): trouble that a retry could cure (a broken stream, a
// failing disk) closes the connection instead.
#pragma once

#include <cstdint>

#include "protocol/server_error.h"

namespace tw_server {

// A request the server cannot make sense of (a member missing or of the
// wrong type, an unknown action, an action under the wrong command) is
// answered with SPROTO_ERR_VERSION: the peer speaks another protocol, which
// clients report as an incompatible version rather than retrying silently.
constexpr uint32_t kMalformedRequest = SPROTO_ERR_VERSION;

// Seconds a channel stays usable without traffic, promised in every answer;
// an idle connection is closed a while after that.
constexpr uint32_t kAliveSeconds = 60;
constexpr uint32_t kIdleCloseSeconds = 90;
// Seconds without a byte while a request is arriving or an answer leaves.
constexpr uint32_t kTransferSeconds = 90;

// The build number "connect" reports.
constexpr uint64_t kServerBuild = 1;

}  // namespace tw_server
