// The sync server's error codes and their translation into the daemon's
// result codes.
//
// A refused request carries "error": {"code": <code>} in its answer. The
// upper four bits of the 16-bit code name its group. Two tables translate
// them: the syncers' and the worker's, which differ only in the download,
// upload and remove groups. A translation of 0 means "no translation
// exists", which is not a success: callers go through ServerErrorResult or
// ResponseErrorCode, which turn it into ERR_SERVER.
#pragma once

#include <cstdint>

#include "value/pobject.h"

enum SyncProtoErr : uint32_t {
    SPROTO_ERR_OK = 1,
    SPROTO_ERR_ERR = 2,
    SPROTO_ERR_UPGRADE = 10,
    SPROTO_ERR_USER = 4096,
    SPROTO_ERR_USER_DISABLE = 4097,
    SPROTO_ERR_USER_ZEM_DISABLE = 4098,
    SPROTO_ERR_USER_HOME_DISABLE = 4099,
    SPROTO_ERR_USER_PASSWD = 4100,
    SPROTO_ERR_USER_ADMIN_REQUIRED = 4101,
    SPROTO_ERR_SESSION = 8192,
    SPROTO_ERR_SESSION_MISS = 8193,
    SPROTO_ERR_VIEW = 12288,
    SPROTO_ERR_INVALID_VIEW_ID = 12289,
    SPROTO_ERR_ACCESS_DENY = 12290,
    SPROTO_ERR_VIEW_INVALID_PATH = 12291,
    SPROTO_ERR_READ_ONLY = 12292,
    SPROTO_ERR_SYSTEM = 16384,
    SPROTO_ERR_QUOTA = 16385,
    SPROTO_ERR_DISKFULL = 16386,
    SPROTO_ERR_VERSION = 20480,
    SPROTO_ERR_VERSION_TOO_LOW = 20481,
    SPROTO_ERR_VERSION_TOO_HIGH = 20482,
    SPROTO_ERR_CONFLICT = 24576,
    SPROTO_ERR_CONFLICT_MAC_ATTR = 24577,
    SPROTO_ERR_INTERNAL = 28672,
    SPROTO_ERR_DOWNLOAD = 32768,
    SPROTO_ERR_DOWNLOAD_NOFILE = 32769,
    SPROTO_ERR_UPLOAD = 36864,
    SPROTO_ERR_UPLOAD_NOBASE = 36865,
    SPROTO_ERR_UPLOAD_BASE_CHANGED = 36866,
    SPROTO_ERR_REMOVE = 40960,
    SPROTO_ERR_REMOVE_NOFILE = 40961,
    SPROTO_ERR_REMOVE_MODIFIED = 40962,
    SPROTO_ERR_RESUME = 45056,
    SPROTO_ERR_RESUME_NOTOKEN = 45057,
};

enum class ServerErrorTable {
    kSyncer,  // Syncer and ProgressSyncer: download, upload, remove groups untranslated
    kWorker,  // Worker: those three groups give ERR_INT
};

// The group of a server code: bits 12 to 15.
constexpr uint32_t ServerErrorGroup(uint32_t code) {
    return (code >> 12) & 0xF;
}

// The table's translation of `code`, or 0 when it has none (the internal
// group and every unhandled code, each with a critical line under
// `component`).
int ProtoResp2ErrorCode(uint32_t code, ServerErrorTable table, const char* component);

// The result for a refused request: the translation when it is a failure
// code, ERR_SERVER when the table has none. Always negative.
int ServerErrorResult(uint32_t code, ServerErrorTable table, const char* component);

// 0 when `response` has no "error" member; otherwise ServerErrorResult of
// its "code" (a missing or mistyped code reads as 0, which no table
// translates).
int ResponseErrorCode(const PObject& response, ServerErrorTable table, const char* component);
