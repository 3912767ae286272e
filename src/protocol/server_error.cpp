#include "protocol/server_error.h"

#include "base/logger.h"
#include "net/error_codes.h"

namespace {

constexpr uint32_t kInternalGroup = 7;

}  // namespace

int ProtoResp2ErrorCode(uint32_t code, ServerErrorTable table, const char* component) {
    const unsigned long shown = code;
    switch (code) {
        case SPROTO_ERR_ACCESS_DENY:
            return ERR_PERMISS;
        case SPROTO_ERR_VIEW_INVALID_PATH:
            if (table == ServerErrorTable::kSyncer) {
                TW_CRIT(component, "Server error(invalid path in view): %lu\n", shown);
            }
            return ERR_VIEW_PATH;
        case SPROTO_ERR_READ_ONLY:
            return ERR_PERMISS_READ_ONLY;
        case SPROTO_ERR_QUOTA:
            return ERR_QUOTA;
        case SPROTO_ERR_DISKFULL:
            return ERR_DISKFULL;
        default:
            break;
    }
    const uint32_t group = ServerErrorGroup(code);
    if (group == kInternalGroup) {
        TW_CRIT(component, "server error: %lu\n", shown);
        return 0;
    }
    int result = 0;
    switch (group) {
        case 1:  // user
        case 2:  // session
            result = ERR_AUTH;
            break;
        case 3:  // view
            result = ERR_VIEW;
            break;
        case 5:  // version
            result = ERR_VERSION;
            break;
        case 8:   // download
        case 9:   // upload
        case 10:  // remove
            if (table == ServerErrorTable::kWorker) result = ERR_INT;
            break;
        default:  // 0, system, conflict, 11 to 15
            break;
    }
    if (result == 0) TW_CRIT(component, "unhandled error code: %lu\n", shown);
    return result;
}

int ServerErrorResult(uint32_t code, ServerErrorTable table, const char* component) {
    int result = ProtoResp2ErrorCode(code, table, component);
    return result < 0 ? result : ERR_SERVER;
}

int ResponseErrorCode(const PObject& response, ServerErrorTable table, const char* component) {
    if (!response.hasMember("error")) return 0;
    // A code wider than 32 bits is in no table; it must not be cut down
    // into one that is.
    uint64_t code = response["error"]["code"].asUInt64();
    return ServerErrorResult(code > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(code), table, component);
}
