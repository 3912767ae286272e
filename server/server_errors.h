// The error codes this server answers in "error" -> "code", and the few
// constants every answer shares.
//
// The upper four bits of a code name its group; clients translate a code by
// its group where they do not know the exact value. The server only answers
// codes that a client translates into a failure: trouble that a retry could
// cure (a broken stream, a full queue) closes the connection instead.
#pragma once

#include <cstdint>

namespace tw_server {

enum ProtoError : uint32_t {
    SPROTO_ERR_SESSION_MISS = 8193,
    SPROTO_ERR_INVALID_VIEW_ID = 12289,
    SPROTO_ERR_ACCESS_DENY = 12290,
    SPROTO_ERR_VIEW_INVALID_PATH = 12291,
    SPROTO_ERR_READ_ONLY = 12292,
    SPROTO_ERR_DISKFULL = 16386,
    SPROTO_ERR_VERSION = 20480,
    SPROTO_ERR_VERSION_TOO_LOW = 20481,
    SPROTO_ERR_VERSION_TOO_HIGH = 20482,
    SPROTO_ERR_CONFLICT = 24576,
    SPROTO_ERR_DOWNLOAD_NOFILE = 32769,
    SPROTO_ERR_UPLOAD = 36864,
    SPROTO_ERR_UPLOAD_NOBASE = 36865,
    SPROTO_ERR_UPLOAD_BASE_CHANGED = 36866,
    SPROTO_ERR_REMOVE_NOFILE = 40961,
    SPROTO_ERR_REMOVE_MODIFIED = 40962,
    SPROTO_ERR_RESUME = 45056,
    SPROTO_ERR_RESUME_NOTOKEN = 45057,
};

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
